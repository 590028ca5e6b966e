// The TQP link over HID feature reports and the transport's framing.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "support.h"
#include "tqp/tqp_link.h"
#include "tqp/tqptransport.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// A frame link in memory: records what is sent, hands out scripted frames.
struct fake_link {
    std::vector<bytes> sent;
    std::deque<bytes> incoming;  // an empty entry: the link has no frame
    int fail_send_at = -1;       // index of the send that fails
    bool fail_receive = false;

    static int send(void* context, const std::uint8_t* frame, std::uint32_t length)
    {
        auto* self = static_cast<fake_link*>(context);
        if (static_cast<int>(self->sent.size()) == self->fail_send_at)
            return 1;
        self->sent.emplace_back(frame, frame + length);
        return 0;
    }
    static int receive(void* context, const std::uint8_t** frame, std::uint32_t* length)
    {
        auto* self = static_cast<fake_link*>(context);
        static bytes current;
        if (self->fail_receive)
            return 1;
        if (self->incoming.empty()) {
            *length = 0;
            return 0;
        }
        current = self->incoming.front();
        self->incoming.pop_front();
        *frame = current.data();
        *length = static_cast<std::uint32_t>(current.size());
        return 0;
    }
};

class TqpTransport : public ::testing::Test {
protected:
    fake_link fake;
    transport_driver driver{};

    void SetUp() override
    {
        struct link l{fake_link::send, fake_link::receive, TQP_FRAME_SIZE, &fake};
        ASSERT_EQ(tqptransport_init(&driver, &l), 0);
    }

    static bytes message(std::size_t n)
    {
        bytes m(n);
        for (std::size_t i = 0; i < n; ++i)
            m[i] = static_cast<std::uint8_t>(i * 7 + 3);
        return m;
    }

    static bytes frame(std::initializer_list<std::uint8_t> header, const std::uint8_t* data, std::size_t n,
                       std::uint8_t filler = 0)
    {
        bytes f(header);
        f.insert(f.end(), data, data + n);
        f.resize(TQP_FRAME_SIZE, filler);
        return f;
    }

    int receive(bytes* out)
    {
        const std::uint8_t* m = nullptr;
        std::uint32_t n = 99;
        const int r = tqptransport_receive(&driver, &m, &n);
        if (r == 0)
            out->assign(m, m + n);
        return r;
    }
};

struct expected_frame {
    std::vector<std::uint8_t> header;
    std::size_t offset;  // of the message bytes it carries
    std::size_t count;
};

struct send_case {
    std::size_t n;
    std::vector<expected_frame> frames;
};

TEST_F(TqpTransport, MessagesBecomeExactFrames)
{
    std::vector<expected_frame> longest{{{0x87, 0xFF}, 0, 253}};
    for (std::uint8_t k = 1; k <= 8; ++k)
        longest.push_back({{static_cast<std::uint8_t>(0xC0 | k)}, 253 + (k - 1) * 254u, k == 8 ? 16u : 254u});
    const send_case cases[] = {
        {1, {{{0x01}, 0, 1}}},
        {127, {{{0x7F}, 0, 127}}},
        {128, {{{0x80, 0x80}, 0, 128}}},
        {253, {{{0x80, 0xFD}, 0, 253}}},
        {254, {{{0x80, 0xFE}, 0, 253}, {{0xC1}, 253, 1}}},
        {2047, longest},
    };
    for (const send_case& c : cases) {
        SCOPED_TRACE(c.n);
        fake.sent.clear();
        const bytes m = message(c.n);
        ASSERT_EQ(tqptransport_send(&driver, m.data(), static_cast<std::uint32_t>(c.n)), 0);
        ASSERT_EQ(fake.sent.size(), c.frames.size());
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            const expected_frame& e = c.frames[i];
            bytes want(e.header);
            want.insert(want.end(), m.begin() + static_cast<long>(e.offset),
                        m.begin() + static_cast<long>(e.offset + e.count));
            want.resize(TQP_FRAME_SIZE, 0);
            EXPECT_EQ(fake.sent[i], want) << "frame " << i;
        }
    }
}

TEST_F(TqpTransport, InvalidMessagesAreRefusedUnsent)
{
    const bytes m = message(2048);
    EXPECT_EQ(tqptransport_send(&driver, m.data(), 0), TQP_ERR_SEND);
    EXPECT_EQ(tqptransport_send(&driver, m.data(), 2048), TQP_ERR_SEND);
    EXPECT_EQ(tqptransport_send(&driver, nullptr, 5), TQP_ERR_SEND);
    EXPECT_TRUE(fake.sent.empty());

    fake.fail_send_at = 1;  // the link fails on the second frame
    EXPECT_EQ(tqptransport_send(&driver, m.data(), 600), TQP_ERR_SEND);
    EXPECT_EQ(fake.sent.size(), 1u);
}

TEST_F(TqpTransport, SentFramesJoinAgain)
{
    for (std::size_t n : {1u, 127u, 128u, 253u, 254u, 255u, 1000u, 2047u}) {
        SCOPED_TRACE(n);
        fake.sent.clear();
        const bytes m = message(n);
        ASSERT_EQ(tqptransport_send(&driver, m.data(), static_cast<std::uint32_t>(n)), 0);
        fake.incoming.assign(fake.sent.begin(), fake.sent.end());
        bytes got;
        ASSERT_EQ(receive(&got), 0);
        EXPECT_EQ(got, m);
        EXPECT_TRUE(fake.incoming.empty());
    }
}

TEST_F(TqpTransport, ReceiveCases)
{
    const bytes m = message(600);
    const std::uint8_t* p = m.data();
    struct receive_case {
        const char* what;
        std::vector<bytes> frames;
        int result;
        std::size_t length;  // when the result is 0
    };
    const receive_case cases[] = {
        {"no frame", {bytes{}}, 0, 0},
        {"short header 0x00 reads as nothing", {frame({0x00}, p, 0)}, 0, 0},
        {"frame of 254 bytes", {bytes(254, 0x01)}, TQP_ERR_IO, 0},
        {"first frame with a continuation header", {frame({0xC1}, p, 254)}, TQP_ERR_IO, 0},
        {"continuation numbered 2 where 1 is due",
         {frame({0x82, 0x58}, p, 253), frame({0xC2}, p + 253, 254), frame({0xC3}, p + 507, 93)}, TQP_ERR_IO, 0},
        {"continuation whose top bits are not 11 but whose number fits",
         {frame({0x82, 0x58}, p, 253), frame({0x01}, p + 253, 254), frame({0xE2}, p + 507, 93)}, 0, 600},
        {"long first frame with bits 5-3 set",
         {frame({0xBA, 0x58}, p, 253), frame({0xC1}, p + 253, 254), frame({0xC2}, p + 507, 93)}, 0, 600},
        {"second frame not there yet", {frame({0x82, 0x58}, p, 253), bytes{}}, TQP_ERR_IO, 0},
        {"continuation of the wrong length", {frame({0x82, 0x58}, p, 253), bytes(100, 0xC1)}, TQP_ERR_IO, 0},
        // The last frame's filler must not land past the message: the
        // buffer holds 2047 bytes and nothing more.
        {"2047 bytes with a full last frame of filler",
         [&] {
             static const bytes big = message(2047);
             std::vector<bytes> f{frame({0x87, 0xFF}, big.data(), 253)};
             for (std::uint8_t k = 1; k <= 8; ++k)
                 f.push_back(frame({static_cast<std::uint8_t>(0xC0 | k)}, big.data() + 253 + (k - 1) * 254,
                                   k == 8 ? 16 : 254, 0xAA));
             return f;
         }(),
         0, 2047},
    };
    for (const receive_case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.incoming.assign(c.frames.begin(), c.frames.end());
        bytes got;
        ASSERT_EQ(receive(&got), c.result);
        if (c.result == 0) {
            ASSERT_EQ(got.size(), c.length);
            const bytes& source = c.length == 2047 ? message(2047) : m;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), source.begin()));
        }
    }
    fake.incoming.clear();
    fake.fail_receive = true;
    bytes got;
    EXPECT_EQ(receive(&got), TQP_ERR_IO);
}

TEST_F(TqpTransport, AfterAFailureTheNextReceiveExpectsAFirstFrame)
{
    const bytes m = message(300);
    fake.incoming = {frame({0x81, 0x2C}, m.data(), 253), frame({0xC3}, m.data() + 253, 47),
                     frame({0x03}, m.data(), 3)};
    bytes got;
    EXPECT_EQ(receive(&got), TQP_ERR_IO);
    ASSERT_EQ(receive(&got), 0);
    EXPECT_EQ(got, bytes(m.begin(), m.begin() + 3));
}

TEST_F(TqpTransport, BindAndClose)
{
    tqp_client_core core;
    tqp_client_core_defaults(&core);
    ASSERT_EQ(tqptransport_bind(&driver, &core), 0);
    EXPECT_EQ(core.max_message, 2047u);
    EXPECT_EQ(core.transport, &driver);
    const std::uint8_t one = 0xE5;
    EXPECT_EQ(core.send(core.transport, &one, 1), 0);
    tqptransport_close(&driver);
    EXPECT_EQ(driver.send_frame, nullptr);
    EXPECT_EQ(driver.receive_frame, nullptr);
    EXPECT_EQ(driver.tq_frame_size, 0u);
    EXPECT_EQ(driver.context, nullptr);
    EXPECT_NE(core.send(core.transport, &one, 1), 0);  // a released transport sends nothing
}

TEST_F(TqpTransport, IdleReportsAnOverdueAnswer)
{
    fresh_bus();
    driver.answer_timeout_ms = 1000;
    const std::uint8_t one = 0xE5;
    ASSERT_EQ(tqptransport_send(&driver, &one, 1), 0);
    sim_bus_advance_us(999'000);
    EXPECT_EQ(tqptransport_idle(&driver), 0);
    sim_bus_advance_us(1'000);
    EXPECT_EQ(tqptransport_idle(&driver), TQP_ERR_TIMEOUT);
    ASSERT_EQ(tqptransport_send(&driver, &one, 1), 0);  // a new request, a new wait
    EXPECT_EQ(tqptransport_idle(&driver), 0);
}

// --- the link over the virtual bus ---------------------------------------

// A vendor HID collection that records the reports written and answers reads
// with scripted reports.
class report_peer : public sim_peer {
public:
    bytes last_set;
    std::deque<bytes> replies;
    bool get_feature(int, std::uint8_t, std::uint8_t* r, std::uint32_t n) override
    {
        if (replies.empty())
            return false;
        bytes reply = replies.front();
        replies.pop_front();
        reply.resize(n, 0);
        std::memcpy(r, reply.data(), n);
        return true;
    }
    bool set_feature(int, std::uint8_t, const std::uint8_t* r, std::uint32_t n) override
    {
        last_set.assign(r, r + n);
        return true;
    }
};

class TqpLink : public ::testing::Test {
protected:
    report_peer peer;
    usbhid_device* slot = nullptr;

    void SetUp() override { fresh_bus(); }
    void TearDown() override
    {
        tqp_link_close(&slot);
        EXPECT_EQ(sim_bus_open_objects(), 0);
    }

    void add_device(std::uint16_t feature_length, std::uint16_t usage = 0xF1)
    {
        sim_identity id;
        id.product_id = 0x0150;
        id.product = "Panel";
        sim_interface hid;
        hid.number = 0;
        hid.iface_class = 3;
        hid.driver = SIM_DRIVER_HID;
        hid.usage_page = 0xFF01;
        hid.usage = usage;
        hid.feature_length = feature_length;
        sim_interface winusb;
        winusb.number = 1;
        id.interfaces = {hid, winusb};
        sim_bus_add_device(id, &peer);
    }
};

TEST_F(TqpLink, OpenNeedsADeviceAndItsVendorCollection)
{
    auto* const untouched = reinterpret_cast<usbhid_device*>(0x1);
    slot = untouched;
    EXPECT_EQ(tqp_link_open(&slot, nullptr), 1);  // nothing attached
    EXPECT_EQ(slot, untouched);
    slot = nullptr;

    add_device(257, 0x06);  // a collection of another usage
    EXPECT_EQ(tqp_link_open(&slot, nullptr), 1);
    EXPECT_EQ(slot, nullptr);
}

TEST_F(TqpLink, ReportsOfAnotherLengthAreRefusedAtOpen)
{
    for (std::uint16_t length : {65, 256, 258, 513}) {
        SCOPED_TRACE(length);
        fresh_bus();
        add_device(length);
        slot = nullptr;
        EXPECT_EQ(tqp_link_open(&slot, nullptr), 1);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(sim_bus_open_objects(), 0);
        EXPECT_EQ(sim_bus_call_count(SIM_CALL_GET_FEATURE) + sim_bus_call_count(SIM_CALL_SET_FEATURE), 0u);
    }
}

TEST_F(TqpLink, FramesTravelInWholeReports)
{
    add_device(257);
    ASSERT_EQ(tqp_link_open(&slot, nullptr), 0);
    struct link l{};
    tqp_link_init(&slot, &l);
    EXPECT_EQ(l.tq_frame_size, 255u);
    EXPECT_EQ(l.context, &slot);

    bytes f(255);
    for (std::size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(l.send_frame(l.context, f.data(), 255), 0);
    bytes want{0xFF, 0x80};
    want.insert(want.end(), f.begin(), f.end());
    EXPECT_EQ(peer.last_set, want);

    bytes with_frame{0xFF, 0x80};
    with_frame.insert(with_frame.end(), f.rbegin(), f.rend());
    peer.replies = {bytes{0xFF, 0x00, 0x55}, bytes{0xFF, 0x37}, bytes{0xFF, 0xEE, 0x80}, with_frame};
    const std::uint8_t* got = nullptr;
    std::uint32_t n = 99;
    EXPECT_EQ(l.receive_frame(l.context, &got, &n), 0);  // marker 0x00: no frame
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_EQ(l.receive_frame(l.context, &got, &n), 0);  // any other marker: no frame
    EXPECT_EQ(n, 0u);
    EXPECT_NE(l.receive_frame(l.context, &got, &n), 0);  // the error marker fails the read
    ASSERT_EQ(l.receive_frame(l.context, &got, &n), 0);
    ASSERT_EQ(n, 255u);
    EXPECT_TRUE(std::equal(got, got + 255, with_frame.begin() + 2));
    EXPECT_NE(l.receive_frame(l.context, &got, &n), 0);  // the read itself fails

    tqp_link_close(&slot);
    EXPECT_EQ(slot, nullptr);
    tqp_link_close(&slot);  // a closed link stays closed
    EXPECT_EQ(slot, nullptr);
    EXPECT_NE(l.send_frame(l.context, f.data(), 255), 0);
}

}  // namespace
