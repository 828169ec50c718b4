#include "proto_fixture.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace
{

using namespace proto_test;

using Packet = obj_ref<pkt_packet>;

// 31 January 2024, 23:59:59 in UTC, which the tests take as local time.
constexpr time_t jan31 = 1706745599;

struct Builders : ::testing::Test {
    Packet p = Packet::adopt(pkt_create());

    static void SetUpTestSuite()
    {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    // The one token added so far, as id, op and payload.
    bool only(uint8_t id, uint8_t op, const bytes &payload)
    {
        auto v = tokens_of(p.get());
        if (v.size() != 1)
            return false;
        EXPECT_EQ(v[0]->id, id);
        EXPECT_EQ(v[0]->op, op);
        EXPECT_EQ(bytes(v[0]->data, v[0]->data + v[0]->len), payload);
        return true;
    }
    int count() { return tbl_count(p->tokens); }
};

TEST_F(Builders, CursorWritersWithAndWithoutPosition)
{
    uint8_t buf[32] = {};
    uint8_t *cur = buf;
    EXPECT_EQ(tok_put_text(&cur, "ab", 2, buf), buf);
    tok_put_u8(&cur, 0x7F, nullptr);
    tok_put_be16(&cur, 0x0102, nullptr);
    tok_put_be32(&cur, 0x03040506, nullptr);
    tok_put_be64(&cur, 0x0708090A0B0C0D0E, nullptr);
    EXPECT_EQ(tok_put_text(&cur, "z", 1, nullptr), buf + 22);
    EXPECT_EQ(bytes(buf, cur), fields({text("ab"),
                                       {0x7F},
                                       be(0x0102, 2),
                                       be(0x03040506, 4),
                                       be(0x0708090A0B0C0D0E, 8),
                                       text("z")}));
    tok_put_be16(&cur, 0xFFFF, buf + 1); // at a position: no comma, cursor behind it
    EXPECT_EQ(cur, buf + 3);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(buf[1], 0xFF);
}

TEST_F(Builders, CodeTextFamily)
{
    EXPECT_EQ(pkt_add_code_text(p.get(), 56, 2, 40, "OK"), 1);
    EXPECT_TRUE(only(56, 2, {0x28, 0x2C, 'O', 'K'}));
    p = Packet::adopt(pkt_create());
    EXPECT_EQ(pkt_add_code_text(p.get(), 3, 1, 9, ""), 1);
    EXPECT_TRUE(only(3, 1, {9, ','}));
    p = Packet::adopt(pkt_create());
    EXPECT_EQ(pkt_add_code_text_opt(p.get(), 3, 1, 9, nullptr), 0);
    EXPECT_EQ(pkt_add_code_text(p.get(), 3, 1, 9, nullptr), 0);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(pkt_add_code_text_num(p.get(), 8, 1, 200, "abc", 70000), 1);
    EXPECT_TRUE(only(8, 1, fields({{200}, text("abc"), be(70000, 4)})));
}

TEST_F(Builders, StatusAndIdText)
{
    pkt_add_status(p.get(), 41, 0);
    EXPECT_TRUE(only(56, 2, fields({{41}, text("ERROR")})));
    p = Packet::adopt(pkt_create());
    pkt_add_status(p.get(), 40, 1);
    EXPECT_TRUE(only(56, 2, fields({{40}, text("OK")})));
    p = Packet::adopt(pkt_create());
    memcpy(p->id, report_id.data(), 8);
    pkt_add_id_text(p.get(), 56, 2, 6);
    EXPECT_TRUE(only(56, 2, fields({{6}, text("000800112233ABCD")})));
}

TEST_F(Builders, RawRecords)
{
    struct {
        const char *what;
        std::function<void(pkt_packet *)> build;
        uint8_t id;
        bytes payload;
    } cases[] = {
        {"remainder",
         [](pkt_packet *q) { pkt_add_remainder(q, 1, 0x12345678); },
         65,
         {0, 0, 0, 0, 0, 0, 0, 1, 0x2C, 0x10, 0x34, 0x56, 0x78, 0x2C, 0x12, 0x34, 0x56, 0x78}},
        {"process record without text",
         [](pkt_packet *q) {
             pkt_process_info info{-5, 1000, 1234, 7, nullptr};
             pkt_add_process_record(q, "240131235959", &info);
         },
         6,
         fields({text("240131235959"), be(1234, 8), be(uint64_t(-5), 8), be(1000, 8), be(7, 2)})},
        // (42 bytes: the record ends after CRED)
        {"process record with text",
         [](pkt_packet *q) {
             pkt_process_info info{1, 2, 3, 4, "x"};
             pkt_add_process_record(q, "240131235959", &info);
         },
         6, fields({text("240131235959"), be(3, 8), be(1, 8), be(2, 8), be(4, 2), text("x")})},
        {"dated pair", [](pkt_packet *q) { pkt_add_dated_pair(q, jan31, 7, 65535); }, 67,
         fields({text("240131235959"), be(7, 2), be(65535, 2)})},
        {"dated counters",
         [](pkt_packet *q) { pkt_add_dated_counters(q, "240131235959", 1, 2, 3, 4, 5); }, 104,
         fields({text("240131235959"), be(1, 8), be(2, 8), be(3, 2), be(4, 2), be(5, 2)})},
        {"secret", [](pkt_packet *q) { pkt_add_secret(q, "240131235959", 0xFFFE, "s3cret"); }, 7,
         fields({text("240131235959"), be(0xFFFE, 2), text("s3cret")})},
        {"call", [](pkt_packet *q) { pkt_add_call(q, 42, "5551234", 90, jan31); }, 13,
         fields({be(42, 8), text("5551234"), be(90, 2), text("240131235959")})},
        {"number text", [](pkt_packet *q) { pkt_add_number_text(q, "555", "hi"); }, 39,
         fields({text("555"), text("hi")})},
        {"empty number", [](pkt_packet *q) { pkt_add_number_text(q, "", "hi"); }, 39,
         fields({text(""), text("hi")})},
        {"call token", [](pkt_packet *q) { pkt_add_call_token(q, "tk", "t", 12345); }, 54,
         fields({text("tk"), text("t"), text("1234")})},
        {"number text uid",
         [](pkt_packet *q) { pkt_add_number_text_uid(q, "555", "hi", 9, jan31); }, 14,
         fields({text("555"), text("hi"), be(9, 8), text("240131235959")})},
    };
    for (auto &c : cases) {
        p = Packet::adopt(pkt_create());
        c.build(p.get());
        EXPECT_TRUE(only(c.id, 1, c.payload)) << c.what;
    }
}

TEST_F(Builders, Decimals)
{
    struct {
        int units, thousandths;
        const char *text;
        float value;
    } cases[] = {
        {3, 250, "3.3", 3.3f},
        {2, 449, "2.4", 2.4f},
        {2, 450, "2.5", 2.5f},
        {-3, 250, "-3.3", -3.3f},
        {0, -50, "-0.1", -0.1f},
        {1, 1500, "2.5", 2.5f},
        {32767, 999, "32768.0", 32768.0f},
        {-32768, 0, "-32768.0", -32768.0f},
    };
    for (auto &c : cases) {
        pkt_decimal *d = pkt_decimal_create(c.units, c.thousandths);
        ASSERT_NE(d, nullptr);
        char buf[16];
        EXPECT_EQ(pkt_decimal_format(d, buf, sizeof buf), c.value)
            << c.units << " " << c.thousandths;
        EXPECT_STREQ(buf, c.text);
        obj_release(d);
    }

    pkt_add_decimal(p.get(), 70, 2, 0x1FF, pkt_decimal_create(-3, 250));
    EXPECT_TRUE(only(70, 2, fields({{0xFF}, text("-3.3")})));
}

// A text longer than its builder's buffer adds nothing; one that just fits is added whole.
TEST_F(Builders, OversizedTextsAddNothing)
{
    std::string date = "240131235959";
    struct {
        const char *what;
        size_t fits;                                          // longest text that fits
        std::function<int(pkt_packet *, const char *)> build; // -1: the builder has no result
    } cases[] = {
        {"code text", 510,
         [](pkt_packet *q, const char *s) { return pkt_add_code_text(q, 1, 1, 2, s); }},
        {"code text num", 121,
         [](pkt_packet *q, const char *s) { return pkt_add_code_text_num(q, 1, 1, 2, s, 3); }},
        {"process record", 85,
         [&](pkt_packet *q, const char *s) {
             pkt_process_info info{1, 2, 3, 4, s};
             pkt_add_process_record(q, date.c_str(), &info);
             return -1;
         }},
        {"process record date", 98,
         [](pkt_packet *q, const char *s) {
             pkt_process_info info{1, 2, 3, 4, nullptr};
             pkt_add_process_record(q, s, &info);
             return -1;
         }},
        {"dated counters", 101,
         [](pkt_packet *q, const char *s) {
             pkt_add_dated_counters(q, s, 1, 2, 3, 4, 5);
             return -1;
         }},
        {"secret", 128 - 12 - 4,
         [&](pkt_packet *q, const char *s) {
             pkt_add_secret(q, date.c_str(), 1, s);
             return -1;
         }},
        {"call", 103,
         [](pkt_packet *q, const char *s) {
             pkt_add_call(q, 1, s, 2, jan31);
             return -1;
         }},
        {"number text", 199 - 3,
         [](pkt_packet *q, const char *s) {
             pkt_add_number_text(q, "555", s);
             return -1;
         }},
        {"call token", 200 - 2 - 1 - 1 - 4,
         [](pkt_packet *q, const char *s) {
             pkt_add_call_token(q, "tk", s, 1234);
             return -1;
         }},
        {"number text uid", 200 - 3 - 1 - 1 - 8 - 1 - 12,
         [](pkt_packet *q, const char *s) {
             pkt_add_number_text_uid(q, "555", s, 9, jan31);
             return -1;
         }},
    };
    for (auto &c : cases) {
        for (size_t n : {c.fits, c.fits + 1, size_t(70000)}) {
            p = Packet::adopt(pkt_create());
            std::string s(n, 'x');
            int r = c.build(p.get(), s.c_str());
            bool fits = n == c.fits;
            EXPECT_EQ(count(), fits ? 1 : 0) << c.what << " " << n;
            if (r >= 0) {
                EXPECT_EQ(r, fits ? 1 : 0) << c.what << " " << n;
            }
        }
    }

    // A decimal whose text passes its 7 characters is refused, not cut to another number.
    p = Packet::adopt(pkt_create());
    pkt_add_decimal(p.get(), 70, 2, 1, pkt_decimal_create(-12345, 600));
    EXPECT_EQ(count(), 0);
    pkt_add_decimal(p.get(), 70, 2, 1, pkt_decimal_create(-1234, 600));
    EXPECT_TRUE(only(70, 2, fields({{1}, text("-1234.6")})));
}

TEST_F(Builders, DescriptorTokenStandsAlone)
{
    pkt_token *t = tok_create_descriptor("a", "b", "c", "d", 300, -1, "e", "f");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->id, 100);
    EXPECT_EQ(t->op, 1);
    EXPECT_EQ(t->index, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(t->data), t->len), "a,b,c,d,44,255,e,f");
    obj_release(t);
    std::string long_text(320, 'x');
    EXPECT_EQ(tok_create_descriptor(long_text.c_str(), "", "", "", 0, 0, "", ""), nullptr);
    EXPECT_EQ(tok_create_descriptor(nullptr, "", "", "", 0, 0, "", ""), nullptr);
}

TEST_F(Builders, DateNow)
{
    char buf[13];
    time_t before = time(nullptr);
    EXPECT_EQ(pkt_format_date_now(buf, sizeof buf), buf);
    time_t after = time(nullptr);
    ASSERT_EQ(strlen(buf), 12u);
    struct tm tm;
    bool matches = false;
    for (time_t t = before; t <= after && !matches; t++) {
        char want[13];
        localtime_r(&t, &tm);
        strftime(want, sizeof want, "%y%m%d%H%M%S", &tm);
        matches = strcmp(want, buf) == 0;
    }
    EXPECT_TRUE(matches) << buf;
}

} // namespace
