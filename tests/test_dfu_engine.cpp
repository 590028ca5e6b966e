// The DFU engine against the simulated controller, in process: block plans,
// recovery from each state, manifestation endings, upload lengths and the
// detach sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dfu/dfu_engine.h"
#include "dfu/dfu_request.h"
#include "support.h"
#include "usb/wire.h"

namespace {

struct seen_request {
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t length;
    bool operator==(const seen_request&) const = default;
};

// The simulated controller, with a log of the DFU requests it was sent.
class watched_controller : public sim_controller {
public:
    std::vector<seen_request> requests;
    bool control(int dev, std::uint8_t iface, const std::uint8_t setup[8], std::uint8_t* data,
                 std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override
    {
        if ((setup[0] & 0x60) == 0x20)
            requests.push_back({setup[1], wire_get16(setup + 2), wire_get16(setup + 6)});
        return sim_controller::control(dev, iface, setup, data, length, done, error);
    }
    std::vector<std::uint8_t> kinds() const
    {
        std::vector<std::uint8_t> k;
        for (const seen_request& r : requests)
            k.push_back(r.request);
        return k;
    }
};

using event = std::pair<int, std::intptr_t>;
std::vector<event> events;

int record(dfu_handle*, int code, std::intptr_t arg)
{
    events.emplace_back(code, arg);
    return 0;
}

// A DFU file the controller accepts: payload and a good suffix.
std::vector<std::uint8_t> dfu_file(std::size_t size, std::uint32_t seed = 7)
{
    std::vector<std::uint8_t> f(size);
    for (std::size_t i = 0; i + 16 < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        f[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    std::uint8_t* s = f.data() + size - 16;
    wire_put16(s, 0xFFFF);
    wire_put16(s + 2, 0xFFFF);
    wire_put16(s + 4, 0x3F1C);
    wire_put16(s + 6, 0x0100);
    s[8] = 'U';
    s[9] = 'F';
    s[10] = 'D';
    s[11] = 16;
    wire_put32(s + 12, sim_dfu_crc(f.data(), size - 4));
    return f;
}

constexpr std::uint8_t GETSTATUS = DFU_REQUEST_GETSTATUS;
constexpr std::uint8_t CLRSTATUS = DFU_REQUEST_CLRSTATUS;
constexpr std::uint8_t ABORT = DFU_REQUEST_ABORT;
constexpr std::uint8_t UPLOAD = DFU_REQUEST_UPLOAD;
constexpr std::uint8_t DNLOAD = DFU_REQUEST_DNLOAD;
constexpr std::uint8_t DETACH = DFU_REQUEST_DETACH;

class DfuEngine : public ::testing::Test {
protected:
    std::unique_ptr<watched_controller> c;
    dfu_handle* h = nullptr;

    void start(const char* faults = "", sim_mode mode = SIM_MODE_DFU)
    {
        fresh_bus();
        c = std::make_unique<watched_controller>();
        c->mode = mode;
        std::string error;
        ASSERT_TRUE(sim_controller_faults(*c, faults, &error)) << error;
        c->attach();
        const bool dfu = mode == SIM_MODE_DFU;
        h = dfu_new(DEVICE_VENDOR_ID, dfu ? DFU_MODE_PRODUCT_ID : SIM_RUNTIME_PRODUCT_ID, dfu ? 0 : 1, nullptr);
        ASSERT_NE(h, nullptr);
        events.clear();
        c->requests.clear();
    }
    void TearDown() override
    {
        dfu_free(h);
        EXPECT_EQ(sim_bus_open_objects(), 0);
        c.reset();
    }
    std::vector<seen_request> dnloads() const
    {
        std::vector<seen_request> d;
        for (const seen_request& r : c->requests)
            if (r.request == DNLOAD)
                d.push_back(r);
        return d;
    }
    std::vector<std::intptr_t> args_of(int code) const
    {
        std::vector<std::intptr_t> a;
        for (const event& e : events)
            if (e.first == code)
                a.push_back(e.second);
        return a;
    }
    std::vector<int> codes() const
    {
        std::vector<int> k;
        for (const event& e : events)
            k.push_back(e.first);
        return k;
    }
};

}  // namespace

TEST_F(DfuEngine, BlockPlans)
{
    struct row {
        std::size_t size;
        std::vector<std::uint16_t> lengths;  // of every DNLOAD, block numbers 0 on
        std::vector<std::intptr_t> progress; // event 1 before each block
    } rows[] = {
        {4096, {4096, 0}, {0, 100}},
        {10000, {4096, 4096, 1808, 0}, {0, 40, 81, 100}},
        {4097, {4096, 1, 0}, {0, 99, 100}},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.size);
        start("manifest-polls=1");
        const auto image = dfu_file(r.size);
        EXPECT_EQ(dfu_transfer(h, image.data(), static_cast<std::int32_t>(image.size()), record), 0);
        const auto d = dnloads();
        ASSERT_EQ(d.size(), r.lengths.size());
        for (std::size_t i = 0; i < d.size(); ++i) {
            EXPECT_EQ(d[i].value, i);
            EXPECT_EQ(d[i].length, r.lengths[i]);
        }
        auto progress = r.progress;
        progress.push_back(100);  // once more after the last block
        EXPECT_EQ(args_of(DFU_EVENT_PROGRESS), progress);
        EXPECT_EQ(c->firmware, image);
        dfu_free(h);
        h = nullptr;
    }
}

TEST_F(DfuEngine, BuiltInImageIn211BackToBackBlocks)
{
    start();
    const auto image = read_file(BUILTIN_IMAGE_FILE);
    ASSERT_EQ(image.size(), 857808u);
    EXPECT_EQ(dfu_transfer(h, image.data(), static_cast<std::int32_t>(image.size()), record), 0);
    const auto d = dnloads();
    ASSERT_EQ(d.size(), 211u);
    for (std::size_t i = 0; i < 209; ++i)
        EXPECT_EQ(d[i], (seen_request{DNLOAD, static_cast<std::uint16_t>(i), 4096}));
    EXPECT_EQ(d[209], (seen_request{DNLOAD, 209, 1744}));
    EXPECT_EQ(d[210], (seen_request{DNLOAD, 210, 0}));
    // No status request between blocks: the DNLOADs follow one another.
    const auto k = c->kinds();
    const auto first = std::find(k.begin(), k.end(), DNLOAD) - k.begin();
    EXPECT_TRUE(std::all_of(k.begin() + first, k.begin() + first + 211, [](auto r) { return r == DNLOAD; }));
    // The whole event order of an upgrade.
    std::vector<int> expected{DFU_EVENT_DOWNLOAD_BEGIN};
    expected.insert(expected.end(), 212, DFU_EVENT_PROGRESS);
    expected.push_back(DFU_EVENT_MANIFEST_BEGIN);
    expected.insert(expected.end(), 5, DFU_EVENT_MANIFEST_POLL);
    expected.insert(expected.end(), {DFU_EVENT_DOWNLOAD_END, DFU_EVENT_UPLOAD_BEGIN, DFU_EVENT_UPLOAD_END});
    EXPECT_EQ(codes(), expected);
    EXPECT_EQ(args_of(DFU_EVENT_DOWNLOAD_END), std::vector<std::intptr_t>{1});
    EXPECT_EQ(args_of(DFU_EVENT_UPLOAD_END), std::vector<std::intptr_t>{2});
    EXPECT_EQ(c->firmware, image);
    EXPECT_EQ(h->message, nullptr);
    // The only pauses are the five polls.
    EXPECT_EQ(sim_bus_sleeps(), std::vector<std::uint32_t>(5, 100));
}

TEST_F(DfuEngine, RecoveryFromEachState)
{
    struct row {
        const char* faults;
        std::vector<std::uint8_t> before_upload;  // requests of a call without image
    } rows[] = {
        {"", {GETSTATUS, GETSTATUS}},
        {"start-state=error", {GETSTATUS, CLRSTATUS, GETSTATUS}},
        {"start-state=dnload-idle", {GETSTATUS, ABORT, GETSTATUS}},
        {"start-state=upload-idle", {GETSTATUS, ABORT, GETSTATUS}},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.faults);
        start(r.faults);
        EXPECT_EQ(dfu_transfer(h, nullptr, 0, record), 0);
        auto k = c->kinds();
        ASSERT_GT(k.size(), r.before_upload.size());
        EXPECT_EQ(std::vector<std::uint8_t>(k.begin(), k.begin() + static_cast<long>(r.before_upload.size())),
                  r.before_upload);
        EXPECT_EQ(k[r.before_upload.size()], UPLOAD);
        EXPECT_EQ(codes(), (std::vector<int>{DFU_EVENT_UPLOAD_BEGIN, DFU_EVENT_UPLOAD_END}));
        EXPECT_EQ(args_of(DFU_EVENT_UPLOAD_END), std::vector<std::intptr_t>{1});
        dfu_free(h);
        h = nullptr;
    }
}

TEST_F(DfuEngine, RecoveryFailuresLeaveTheirMessage)
{
    struct row {
        const char* faults;
        const char* message;
    } rows[] = {
        {"getstatus-fail", "\n[ERROR: Communication error (1)]\n"},
        {"start-state=error,clrstatus-fail", "\n[ERROR: Communication error (2)]\n"},
        {"start-state=dnload-idle,abort-stall", "\n[ERROR: Communication error (3)]\n"},
    };
    const auto image = dfu_file(5000);
    for (auto& r : rows) {
        SCOPED_TRACE(r.faults);
        start(r.faults);
        const auto before = c->firmware;
        EXPECT_EQ(dfu_transfer(h, image.data(), 5000, record), -1);
        EXPECT_TRUE(events.empty());
        EXPECT_STREQ(dfu_take_message(h), r.message);
        EXPECT_EQ(dfu_take_message(h), nullptr);
        EXPECT_EQ(c->firmware, before);
        dfu_free(h);
        h = nullptr;
    }
}

TEST_F(DfuEngine, ManifestationPollCountsAndEndings)
{
    const auto good = dfu_file(6000);
    auto bad_crc = good;
    bad_crc[100] ^= 1;
    auto foreign = dfu_file(6000);
    wire_put16(foreign.data() + 6000 - 12, 0x1234);  // another maker's vendor ID
    wire_put32(foreign.data() + 6000 - 4, sim_dfu_crc(foreign.data(), 6000 - 4));
    struct row {
        const char* faults;
        const std::vector<std::uint8_t>* image;
        int result;
        std::size_t polls;
        std::intptr_t download_end;
        const char* message;
        std::int32_t status;
        bool kept;
    } rows[] = {
        {"manifest-polls=4", &good, 0, 4, 1, nullptr, 0, true},
        {"manifest-polls=1", &good, 0, 1, 1, nullptr, 0, true},
        {"", &bad_crc, -2, 5, -1, "ERROR Verify", 7, false},
        {"", &foreign, -2, 5, -1, "ERROR Verify", 7, false},
        {"manifest-error=3", &good, -2, 5, -1, "ERROR Write", 3, false},
        {"manifest-error=200", &good, -2, 5, -1, "ERROR Unknown Status Value", 200, false},
        // dfuERROR with status 0: only event 6 with -1 tells.
        {"manifest-error=0", &good, 0, 5, -1, "OK", 0, false},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(std::string(r.faults) + " " + std::to_string(r.image->size()));
        start(r.faults);
        const auto before = c->firmware;
        EXPECT_EQ(dfu_transfer(h, r.image->data(), 6000, record), r.result);
        EXPECT_EQ(args_of(DFU_EVENT_MANIFEST_POLL).size(), r.polls);
        EXPECT_EQ(args_of(DFU_EVENT_DOWNLOAD_END), std::vector<std::intptr_t>{r.download_end});
        EXPECT_STREQ(h->message, r.message);
        EXPECT_EQ(h->status, r.status);
        EXPECT_EQ(c->firmware, r.kept ? *r.image : before);
        // Cleared, and the text still uploaded.
        const auto k = c->kinds();
        const auto last_dnload = std::find(k.rbegin(), k.rend(), DNLOAD).base() - k.begin();
        std::vector<std::uint8_t> after(k.begin() + last_dnload + static_cast<long>(r.polls), k.end());
        after.resize(r.download_end < 0 ? 3 : 2);
        if (r.download_end < 0)
            EXPECT_EQ(after, (std::vector<std::uint8_t>{GETSTATUS, CLRSTATUS, UPLOAD}));
        else
            EXPECT_EQ(after, (std::vector<std::uint8_t>{GETSTATUS, UPLOAD}));
        EXPECT_EQ(args_of(DFU_EVENT_UPLOAD_END), std::vector<std::intptr_t>{2});
        EXPECT_EQ(c->dfu != nullptr, true);
        dfu_free(h);
        h = nullptr;
    }
}

TEST_F(DfuEngine, ManifestationThatNeverEndsIsBounded)
{
    start("manifest-polls=100000");
    const auto image = dfu_file(3000);
    EXPECT_EQ(dfu_transfer(h, image.data(), 3000, record), -1);
    EXPECT_EQ(args_of(DFU_EVENT_MANIFEST_POLL).size(), 1200u);
    EXPECT_EQ(args_of(DFU_EVENT_DOWNLOAD_END), std::vector<std::intptr_t>{0});
    EXPECT_STREQ(h->message, "\n[ERROR: Manifestation timed out (6)]\n");
    EXPECT_EQ(sim_bus_sleeps(), std::vector<std::uint32_t>(1200, 100));
    EXPECT_EQ(codes().back(), DFU_EVENT_DOWNLOAD_END);  // no upload after it
}

TEST_F(DfuEngine, DownloadAndPollFailures)
{
    const auto image = dfu_file(10000);
    struct row {
        const char* faults;
        const char* message;
        std::size_t dnloads;
    } rows[] = {
        {"dnload-fail@2", "\n[ERROR: Communication error (4)]\n", 2},
        {"dnload-stall@4", "\n[ERROR: Communication error (4)]\n", 4},
        // A block the device took none of is not sent again and again.
        {"dnload-zero@3", "\n[ERROR: Communication error (4)]\n", 3},
        {"manifest-status-fail@2", "\n[ERROR: Communication error (5)]\n", 4},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.faults);
        start(r.faults);
        const auto before = c->firmware;
        EXPECT_EQ(dfu_transfer(h, image.data(), 10000, record), -1);
        EXPECT_EQ(dnloads().size(), r.dnloads);
        EXPECT_EQ(codes().back(), DFU_EVENT_DOWNLOAD_END);
        EXPECT_EQ(args_of(DFU_EVENT_DOWNLOAD_END), std::vector<std::intptr_t>{0});
        EXPECT_STREQ(h->message, r.message);
        EXPECT_EQ(c->firmware, before);
        dfu_free(h);
        h = nullptr;
    }
}

TEST_F(DfuEngine, EmptyImageIsOnlyTheZeroLengthBlock)
{
    start();
    static const std::uint8_t nothing[1] = {};
    // The controller refuses an empty download, as DFU 1.1 says it must.
    EXPECT_EQ(dfu_transfer(h, nothing, 0, record), -1);
    EXPECT_EQ(dnloads(), (std::vector<seen_request>{{DNLOAD, 0, 0}}));
    EXPECT_EQ(codes(), (std::vector<int>{DFU_EVENT_DOWNLOAD_BEGIN, DFU_EVENT_PROGRESS, DFU_EVENT_DOWNLOAD_END}));
    EXPECT_EQ(args_of(DFU_EVENT_PROGRESS), std::vector<std::intptr_t>{0});
}

TEST_F(DfuEngine, UploadLengthsAndText)
{
    struct row {
        const char* faults;
        std::vector<std::uint16_t> blocks;  // UPLOAD requests, all asking for 64
        std::size_t length;
    } rows[] = {
        {"info-length=100", {0, 1}, 100},
        {"info-length=128", {0, 1, 2}, 128},
        {"info-length=63", {0}, 63},
        {"info-length=16383", {}, 16383},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(r.faults);
        start(r.faults);
        EXPECT_EQ(dfu_transfer(h, nullptr, 0, record), 0);
        std::vector<std::uint16_t> blocks;
        for (const seen_request& q : c->requests) {
            if (q.request == UPLOAD) {
                blocks.push_back(q.value);
                EXPECT_EQ(q.length, 64);
            }
        }
        if (!r.blocks.empty())
            EXPECT_EQ(blocks, r.blocks);
        else
            EXPECT_EQ(blocks.size(), 256u);
        EXPECT_EQ(std::string(dfu_info_text(h)).size(), r.length);
        EXPECT_EQ(args_of(DFU_EVENT_UPLOAD_END), std::vector<std::intptr_t>{1});
        dfu_free(h);
        h = nullptr;
    }
}

TEST_F(DfuEngine, NulBytesInTheTextBecomeSpaces)
{
    start("info-length=70,info-nul=0,info-nul=5,info-nul=69");
    EXPECT_EQ(dfu_transfer(h, nullptr, 0, record), 0);
    const std::string text(dfu_info_text(h));
    ASSERT_EQ(text.size(), 70u);
    EXPECT_EQ(text[0], ' ');
    EXPECT_EQ(text[5], ' ');
    EXPECT_EQ(text[69], ' ');
}

TEST_F(DfuEngine, EndlessUploadStopsAtTheRoom)
{
    start("upload-endless");
    std::memset(h->info, 'Q', DFU_INFO_SIZE);
    EXPECT_EQ(dfu_transfer(h, nullptr, 0, record), 0);
    EXPECT_EQ(args_of(DFU_EVENT_UPLOAD_END), std::vector<std::intptr_t>{1});
    EXPECT_EQ(std::string(h->info).size(), DFU_INFO_SIZE - 1);
    EXPECT_EQ(h->info[DFU_INFO_SIZE - 1], '\0');
    const auto k = c->kinds();
    EXPECT_EQ(std::count(k.begin(), k.end(), UPLOAD), 256);
}

TEST_F(DfuEngine, FailedUploadIsNotOffered)
{
    // After a good download the failed upload changes nothing of the result.
    start("upload-stall");
    const auto image = dfu_file(9000);
    EXPECT_EQ(dfu_transfer(h, image.data(), 9000, record), 0);
    EXPECT_EQ(args_of(DFU_EVENT_UPLOAD_END), std::vector<std::intptr_t>{0});
    EXPECT_EQ(c->firmware, image);

    // Part of the text had come: its NULs are spaces, nothing is terminated.
    dfu_free(h);
    h = nullptr;
    start("info-length=200,info-nul=3,upload-fail@3");
    std::memset(h->info, 'Q', DFU_INFO_SIZE);
    EXPECT_EQ(dfu_transfer(h, nullptr, 0, record), 0);
    EXPECT_EQ(args_of(DFU_EVENT_UPLOAD_END), std::vector<std::intptr_t>{0});
    EXPECT_EQ(h->info[3], ' ');
    EXPECT_EQ(h->info[128], 'Q');
    EXPECT_EQ(h->message, nullptr);
}

TEST_F(DfuEngine, DetachSequences)
{
    struct row {
        const char* faults;
        sim_mode mode;
        std::vector<std::uint8_t> requests;
        int result;
    } rows[] = {
        {"", SIM_MODE_RUNTIME, {DETACH}, 0},
        {"", SIM_MODE_DFU, {GETSTATUS, DETACH}, 0},
        {"start-state=error", SIM_MODE_DFU, {GETSTATUS, CLRSTATUS, DETACH}, 0},
        {"start-state=dnload-idle", SIM_MODE_DFU, {GETSTATUS, CLRSTATUS, DETACH}, 0},
        // A device that resets at once answers ERROR_GEN_FAILURE: detached all the same.
        {"detach-reset", SIM_MODE_RUNTIME, {DETACH}, 0},
        {"detach-reset", SIM_MODE_DFU, {GETSTATUS, DETACH}, 0},
        {"detach-fail", SIM_MODE_RUNTIME, {DETACH}, -1},
        {"getstatus-fail", SIM_MODE_DFU, {GETSTATUS}, -1},
        {"start-state=error,clrstatus-fail", SIM_MODE_DFU, {GETSTATUS, CLRSTATUS}, -1},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(std::string(r.faults) + (r.mode == SIM_MODE_DFU ? " dfu" : " run-time"));
        start(r.faults, r.mode);
        static const char kind[] = "run-time";
        EXPECT_EQ(dfu_detach_device(h, kind, record), r.result);
        EXPECT_EQ(c->kinds(), r.requests);
        EXPECT_EQ(events, (std::vector<event>{{DFU_EVENT_DETACH_BEGIN, reinterpret_cast<std::intptr_t>(kind)},
                                              {DFU_EVENT_DETACH_END, r.result == 0 ? 1 : 0}}));
        EXPECT_EQ(sim_bus_attached(c->device), r.result != 0);
        EXPECT_EQ(h->message, nullptr);
        dfu_free(h);
        h = nullptr;
    }
}

TEST_F(DfuEngine, NullCallbackAndNullHandleAreAccepted)
{
    start();
    const auto image = dfu_file(5000);
    EXPECT_EQ(dfu_transfer(h, image.data(), 5000, nullptr), 0);
    EXPECT_EQ(dfu_detach_device(h, "DFU", nullptr), 0);
    dfu_free(nullptr);
    EXPECT_EQ(dfu_new(DEVICE_VENDOR_ID, 0x7777, 0, nullptr), nullptr);
}
