// TQP client messages: requests, the wait step's sorting, the answers that
// carry data, and the client_info record across protocol versions.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "tqp/tqp_client.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// A transport in memory behind the core.
struct fake_transport {
    std::vector<bytes> sent;
    std::deque<bytes> incoming;
    bool fail_send = false;
    bool fail_receive = false;
    bytes current;
    int messages_hooked = 0;
    int events_hooked = 0;

    static int send(void* t, const std::uint8_t* m, std::uint32_t n)
    {
        auto* self = static_cast<fake_transport*>(t);
        if (self->fail_send)
            return 1;
        self->sent.emplace_back(m, m + n);
        return 0;
    }
    static int receive(void* t, const std::uint8_t** m, std::uint32_t* n)
    {
        auto* self = static_cast<fake_transport*>(t);
        if (self->fail_receive)
            return 1;
        self->current.clear();
        if (!self->incoming.empty()) {
            self->current = self->incoming.front();
            self->incoming.pop_front();
        }
        *m = self->current.data();
        *n = static_cast<std::uint32_t>(self->current.size());
        return 0;
    }
    static void on_message(void* t, const std::uint8_t*, std::uint32_t) { ++static_cast<fake_transport*>(t)->messages_hooked; }
    static void on_event(void* t) { ++static_cast<fake_transport*>(t)->events_hooked; }
};

class TqpClient : public ::testing::Test {
protected:
    fake_transport fake;
    tqp_client_core core{};

    void SetUp() override
    {
        tqp_client_core_defaults(&core);
        core.send = fake_transport::send;
        core.receive = fake_transport::receive;
        core.transport = &fake;
        core.max_message = 2047;
    }
};

bytes own_hello_bytes()
{
    bytes m(50, 0);
    const std::uint8_t head[8] = {0xE0, 0x2E, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02};
    std::memcpy(m.data(), head, sizeof head);
    std::memcpy(m.data() + 22, "Ovandrel/Flashtool", 18);  // 4 header + 8 + 10 serial bytes
    return m;
}

TEST_F(TqpClient, OwnHelloIsTheExact50ByteMessage)
{
    client_info own;
    ASSERT_EQ(client_info_init(&own), 0);
    client_info_set_name(&own, "Ovandrel/Flashtool");
    EXPECT_EQ(own.record_length, 46u);
    EXPECT_EQ(own.version, 2);
    ASSERT_EQ(tqp_send_hello(&core, &own), 0);
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0], own_hello_bytes());
}

TEST_F(TqpClient, RequestMessages)
{
    ASSERT_EQ(tqp_send_begin_upgrade(&core, 857808), 0);
    ASSERT_EQ(tqp_send_program(&core), 0);
    ASSERT_EQ(tqp_send_reset(&core), 0);
    ASSERT_EQ(tqp_send_close(&core), 0);
    ASSERT_EQ(tqp_send_system_error(&core), 0);
    const std::vector<bytes> want{{0xE4, 0xD0, 0x16, 0x0D, 0x00}, {0xE5}, {0xE7}, {0xE8}, {0xE9}};
    EXPECT_EQ(fake.sent, want);
}

TEST_F(TqpClient, DataChunksUpToTheLargestMessage)
{
    EXPECT_EQ(tqp_max_data(&core), 2046u);
    const bytes chunk(2047, 0x5A);
    ASSERT_EQ(tqp_send_data(&core, chunk.data(), 2046), 0);
    ASSERT_EQ(fake.sent.size(), 1u);
    ASSERT_EQ(fake.sent[0].size(), 2047u);
    EXPECT_EQ(fake.sent[0][0], 0xE6);
    EXPECT_EQ(fake.sent[0][2046], 0x5A);

    EXPECT_EQ(tqp_send_data(&core, chunk.data(), 2047), TQP_ERR_TOO_LONG);
    EXPECT_EQ(core.last_error, TQP_ERR_TOO_LONG);
    EXPECT_EQ(fake.sent.size(), 1u);

    ASSERT_EQ(tqp_send_data(&core, chunk.data(), 0), 0);  // an empty chunk is the code alone
    EXPECT_EQ(fake.sent.back(), bytes{0xE6});
}

TEST_F(TqpClient, RefusedSendsGive5)
{
    fake.fail_send = true;
    EXPECT_EQ(tqp_send_program(&core), TQP_ERR_IO);
    EXPECT_EQ(core.last_error, TQP_ERR_IO);

    tqp_client_core unbound;
    tqp_client_core_defaults(&unbound);
    EXPECT_EQ(tqp_send_reset(&unbound), TQP_ERR_IO);
    tqp_answer a{nullptr, 0};
    EXPECT_EQ(tqp_wait_answer(&unbound, &a, TQP_REQ_RESET), TQP_ERR_IO);
    EXPECT_EQ(unbound.idle(unbound.transport), -1);
}

TEST_F(TqpClient, WaitStepSortsWhatArrives)
{
    struct wait_case {
        const char* what;
        bytes message;
        bool hooks;
        int result;
    };
    const wait_case cases[] = {
        {"nothing arrived", {}, false, TQP_ERR_AGAIN},
        {"the answer, 3 bytes", {0xF1, 0x00, 0xE5}, false, 0},
        {"the answer with marker F0", {0xF0, 0x03, 0xE5}, false, 0},
        {"an answer to another request", {0xF0, 0x00, 0xE4}, false, TQP_ERR_AGAIN},
        {"two bytes", {0xF0, 0x00}, false, TQP_ERR_AGAIN},
        {"unsolicited D", {0x44, 0x01, 0x02}, false, TQP_ERR_AGAIN},
        {"unsolicited D to the hook", {0x44, 0x01, 0x02}, true, TQP_ERR_AGAIN},
        {"unsolicited $", {0x24}, true, TQP_ERR_AGAIN},
        {"unsolicited '", {0x27, 0x00, 0xE5}, false, TQP_ERR_AGAIN},
        {"event without a hook", {0xF0, 0x00, 0x6B}, false, TQP_ERR_AGAIN},
        {"event to the hook", {0xF0, 0x00, 0x6B}, true, TQP_ERR_AGAIN},
        {"anything else", {0x13, 0x00, 0xE5}, false, TQP_ERR_AGAIN},
    };
    for (const wait_case& c : cases) {
        SCOPED_TRACE(c.what);
        core.message_hook = c.hooks ? fake_transport::on_message : nullptr;
        core.event_hook = c.hooks ? fake_transport::on_event : nullptr;
        core.hook_context = &fake;
        fake.incoming = {c.message};
        tqp_answer a{nullptr, 0};
        ASSERT_EQ(tqp_wait_answer(&core, &a, TQP_REQ_PROGRAM), c.result);
        if (c.result == 0) {
            ASSERT_EQ(a.length, 3u);
            EXPECT_EQ(tqp_answer_status(&a), c.message[1]);
        }
    }
    EXPECT_EQ(fake.messages_hooked, 2);
    EXPECT_EQ(fake.events_hooked, 1);

    fake.fail_receive = true;
    const std::uint8_t held[] = {0xF0, 0x00, 0xE5};
    tqp_answer a{held, 3};
    EXPECT_EQ(tqp_wait_answer(&core, &a, TQP_REQ_PROGRAM), TQP_ERR_IO);
    EXPECT_EQ(a.data, held);  // left as it was
}

TEST(TqpAnswers, SystemError)
{
    struct syserror_case {
        const char* what;
        bytes answer;
        int result;
        bool stored;
    };
    const bytes word{0x01, 0, 0, 0, 0, 0, 0, 0x80};
    auto with = [&](std::array<std::uint8_t, 4> head, std::size_t payload) {
        bytes a(4 + payload, 0);
        std::memcpy(a.data(), head.data(), 4);
        std::memcpy(a.data() + 4, word.data(), payload);
        return a;
    };
    const syserror_case cases[] = {
        {"p of 8, status 0", with({0xF1, 0x00, 0xE9, 0x08}, 8), 0, true},
        {"p of 8, status 3", with({0xF1, 0x03, 0xE9, 0x08}, 8), 3, true},
        {"p of 7", with({0xF1, 0x00, 0xE9, 0x07}, 7), TQP_ERR_BAD_ANSWER, false},
        {"shorter than announced", with({0xF1, 0x00, 0xE9, 0x08}, 6), TQP_ERR_BAD_ANSWER, false},
        {"marker F0", with({0xF0, 0x00, 0xE9, 0x08}, 8), TQP_ERR_BAD_ANSWER, false},
        {"another request's code", with({0xF1, 0x00, 0xE5, 0x08}, 8), TQP_ERR_BAD_ANSWER, false},
        {"3 bytes", {0xF1, 0x00, 0xE9}, TQP_ERR_BAD_ANSWER, false},
    };
    for (const syserror_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint64_t value = 42;
        const tqp_answer a{c.answer.data(), static_cast<std::uint32_t>(c.answer.size())};
        EXPECT_EQ(tqp_parse_system_error(&a, &value), c.result);
        EXPECT_EQ(value, c.stored ? 0x8000000000000001ull : 42u);
    }
}

// Built in place: gcc 12 warns falsely about resizing a braced vector.
bytes record_v2(const char* serial, const char* name)
{
    bytes r(46, 0);
    const std::uint8_t head[8] = {0x00, 0x02, 0x00, 0x05, 0x01, 0x04, 0x00, 0x17};
    std::memcpy(r.data(), head, sizeof head);
    std::memcpy(r.data() + 8, serial, std::strlen(serial));
    std::memcpy(r.data() + 18, name, std::strlen(name));
    return r;
}

bytes record_v1(const char* name)
{
    bytes r(36, 0);
    const std::uint8_t head[8] = {0x00, 0x01, 0x00, 0x03, 0x02, 0x00, 0x00, 0x09};
    std::memcpy(r.data(), head, sizeof head);
    std::memcpy(r.data() + 8, name, std::strlen(name));
    return r;
}

bytes hello_answer(std::uint8_t status, const bytes& record)
{
    bytes a(4 + record.size(), 0);
    a[0] = 0xF1;
    a[1] = status;
    a[2] = 0xE0;
    a[3] = static_cast<std::uint8_t>(record.size());
    std::memcpy(a.data() + 4, record.data(), record.size());
    return a;
}

TEST_F(TqpClient, HelloAnswers)
{
    struct hello_case {
        const char* what;
        bytes answer;
        int result;
        int version;
    };
    bytes v3 = record_v2("SN", "X");
    v3[1] = 0x03;
    bytes not_bcd = record_v2("SN", "X");
    not_bcd[0] = 0x0A;
    not_bcd[1] = 0x00;
    bytes v2_short = record_v2("SN", "X");
    v2_short.resize(36);
    bytes truncated = hello_answer(0, record_v2("SN", "X"));
    truncated.pop_back();
    bytes marker_f0 = hello_answer(0, record_v2("SN", "X"));
    marker_f0[0] = 0xF0;
    const hello_case cases[] = {
        {"accepted, version 2", hello_answer(0, record_v2("OV2C7F0012", "Maker")), 0, 2},
        {"rejected with a version-1 record", hello_answer(1, record_v1("Old")), 1, 1},
        {"version 3 has no layout", hello_answer(0, v3), TQP_ERR_CLIENT_INFO, 3},
        {"version digits not BCD", hello_answer(0, not_bcd), TQP_ERR_CLIENT_INFO, -1},
        {"version-2 record of 36 bytes", hello_answer(0, v2_short), TQP_ERR_CLIENT_INFO, 2},
        {"shorter than announced", truncated, TQP_ERR_BAD_ANSWER, 99},
        {"marker F0", marker_f0, TQP_ERR_BAD_ANSWER, 99},
        {"three bytes", {0xF1, 0x00, 0xE0}, TQP_ERR_BAD_ANSWER, 99},
    };
    for (const hello_case& c : cases) {
        SCOPED_TRACE(c.what);
        core.last_error = 0;
        client_info device{};
        device.version = 99;
        const tqp_answer a{c.answer.data(), static_cast<std::uint32_t>(c.answer.size())};
        EXPECT_EQ(tqp_parse_hello_answer(&core, &a, &device), c.result);
        EXPECT_EQ(core.last_error, c.result);
        EXPECT_EQ(device.version, c.version);
    }
}

TEST(TqpClientInfo, DecodeKeepsTheLayoutOfItsVersion)
{
    client_info info{};
    info.record_length = 7;
    const bytes v2 = record_v2("OV2C7F0012", "Maker TC");
    ASSERT_EQ(client_info_decode(&info, v2.data(), 46), 0);
    EXPECT_EQ(info.version, 2);
    EXPECT_EQ(info.record_length, 7u);  // decoding leaves it alone
    EXPECT_STREQ(reinterpret_cast<const char*>(client_info_name(&info)), "Maker TC");
    EXPECT_EQ(bytes(client_info_sw_version(&info), client_info_sw_version(&info) + 4),
              (bytes{0x01, 0x04, 0x00, 0x17}));
    char serial[20];
    client_info_serial(&info, serial, sizeof serial);
    EXPECT_STREQ(serial, "OV2C7F0012");
    client_info_serial(&info, serial, 10);  // no room for 10 characters and the NUL
    EXPECT_STREQ(serial, "");

    bytes v0 = record_v1("Zero");
    v0[1] = 0x00;
    ASSERT_EQ(client_info_decode(&info, v0.data(), 36), 0);
    EXPECT_EQ(info.version, 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(client_info_name(&info)), "Zero");
    client_info_serial(&info, serial, sizeof serial);
    EXPECT_STREQ(serial, "");

    const bytes v1 = record_v1("One");
    ASSERT_EQ(client_info_decode(&info, v1.data(), 40), 0);  // bytes past the layout ignored
    EXPECT_EQ(info.version, 1);

    const client_info before = info;
    EXPECT_EQ(client_info_decode(&info, v2.data(), 3), TQP_ERR_CLIENT_INFO);
    EXPECT_EQ(0, std::memcmp(&before, &info, sizeof info));
    EXPECT_EQ(client_info_decode(&info, v1.data(), 35), TQP_ERR_CLIENT_INFO);
    EXPECT_EQ(0, std::memcmp(before.record, info.record, sizeof info.record));

    info.version = -1;
    EXPECT_EQ(client_info_protocol(&info), nullptr);
    EXPECT_EQ(client_info_name(&info), nullptr);
}

TEST(TqpClientInfo, NamesAreTruncatedToTheirField)
{
    const char* thirty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    client_info info;
    client_info_init(&info);
    client_info_set_name(&info, thirty);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.record + 18)), std::string(thirty, 25));
    EXPECT_EQ(info.record[43], 0);
    EXPECT_EQ(info.record[44], 0);

    const bytes v1 = record_v1("x");
    ASSERT_EQ(client_info_decode(&info, v1.data(), 36), 0);
    client_info_set_name(&info, thirty);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.record + 8)), std::string(thirty, 27));
    EXPECT_EQ(info.record[35], 0);
}

TEST(TqpClientInfo, ConvertLaysTheOwnRecordOutForAnOlderVersion)
{
    client_info own;
    client_info_init(&own);
    own.record[4] = 0x12;  // a software version, to see it stay
    client_info_set_name(&own, "Ovandrel/Flashtool");
    const client_info v2 = own;
    const std::uint8_t p[4] = {0x00, 0x01, 0x00, 0x00};
    client_info_convert(&own, p);
    EXPECT_EQ(own.version, 1);
    EXPECT_EQ(own.record_length, 46u);
    EXPECT_EQ(bytes(own.record, own.record + 4), bytes(p, p + 4));
    EXPECT_EQ(own.record[4], 0x12);
    bytes name_field(own.record + 8, own.record + 36);
    bytes want_name{'O', 'v', 'a', 'n', 'd', 'r', 'e', 'l', '/', 'F', 'l', 'a', 's', 'h', 't', 'o', 'o', 'l'};
    want_name.resize(28, 0);
    EXPECT_EQ(name_field, want_name);
    // The 10 bytes past the older layout still hold what version 2 had there.
    EXPECT_EQ(bytes(own.record + 36, own.record + 46), bytes(v2.record + 36, v2.record + 46));

    client_info same;
    client_info_init(&same);
    std::memcpy(same.record + 8, "SERIAL0001", 10);
    client_info_set_name(&same, "Tool");
    const std::uint8_t p2[4] = {0x00, 0x02, 0x00, 0x09};
    client_info_convert(&same, p2);
    EXPECT_EQ(same.version, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(same.record + 8), 10), "SERIAL0001");
    EXPECT_STREQ(reinterpret_cast<const char*>(same.record + 18), "Tool");
    EXPECT_EQ(same.record[3], 0x09);
}

}  // namespace
