#include "proto_fixture.h"

#include <cstdio>
#include <thread>

namespace
{

using namespace proto_test;

using Packet = obj_ref<pkt_packet>;
using Buf = obj_ref<pkt_buf>;
using Lines = std::vector<std::string>;

std::string hex(const bytes &b, size_t from, size_t n)
{
    std::string s;
    char two[3];
    for (size_t i = from; i < from + n && i < b.size(); i++) {
        snprintf(two, sizeof two, "%02X", b[i]);
        s += two;
    }
    return s;
}

// A token whose data block holds exactly its payload and the NUL, as the parser makes them.
obj_ref<pkt_token> make_token(uint8_t id, uint8_t op, const bytes &payload)
{
    auto t = obj_ref<pkt_token>::adopt(tok_create_empty());
    t->id = id;
    t->op = op;
    t->len = uint16_t(payload.size());
    t->data = static_cast<uint8_t *>(malloc(payload.size() + 1));
    if (!payload.empty())
        memcpy(t->data, payload.data(), payload.size());
    t->data[payload.size()] = 0;
    return t;
}

const bytes comma{','};
const bytes date = text("240131235959");

using Log = LogFile;

TEST_F(Log, DeviceReportGivesEightLines)
{
    Packet p = Packet::adopt(make_report());
    Buf b = Buf::adopt(pkt_encode(p.get()));
    pkt_log(p.get());
    Lines v = lines();
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[0], "H: 7e ID: 000800112233ABCD CMD: -3 Len: 63 MID: 1234 CSUM: 3FEC");
    EXPECT_EQ(v[1], "ID 56 OP 2 L: 18 PL: 6,000800112233ABCD");
    EXPECT_EQ(v[2], "ID 56 OP 2 L: 19 PL: 7,00:11:22:33:AB:CD");
    EXPECT_EQ(v[3], "ID 56 OP 2 L: 4 PL: 40,OK");
    EXPECT_EQ(v[4], "ID 56 OP 2 L: 4 PL: 41,OK");
    EXPECT_EQ(v[5], hex(report_wire, 0, 32));
    EXPECT_EQ(v[5].substr(0, 32), "7E000800112233ABCDFD0000003F1234");
    EXPECT_EQ(v[6], hex(report_wire, 32, 32));
    EXPECT_EQ(v[6].substr(0, 24), "33334142434438020013072C");
    EXPECT_EQ(v[7], "04282C4F4B38020004292C4F4B3FEC");
    EXPECT_EQ(pauses, 6); // header, four tokens, the short last dump line
}

TEST_F(Log, NeverEncodedLogsNothing)
{
    Packet p = Packet::adopt(make_report());
    pkt_log(p.get());
    pkt_log(nullptr);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(pauses, 0);
}

TEST_F(Log, ParsedPacketWithoutTokens)
{
    bytes poll = frame({0, 0xFF, 2, 0, 0, 0, 0, 1}, 1, 0xBEEF, {}, 0x7F);
    Packet p = Packet::adopt(pkt_parse(nullptr, heap_copy(poll), uint16_t(poll.size())));
    ASSERT_TRUE(p);
    pkt_log(p.get());
    Lines v = lines();
    ASSERT_EQ(v.size(), 2u);
    char head[80];
    snprintf(head, sizeof head, "H: 7f ID: 00FF020000000001 CMD: 1 Len: 2 MID: BEEF CSUM: %04X",
             ref_crc(poll.data(), 16));
    EXPECT_EQ(v[0], head);
    EXPECT_EQ(v[1], hex(poll, 0, 18));
    EXPECT_EQ(v[1].size(), 36u);
    EXPECT_EQ(pauses, 2);
}

TEST_F(Log, WholeDumpLinesAreNotFollowedByAPause)
{
    Packet p = Packet::adopt(pkt_create());
    bytes payload(64 - 18 - 4, 'z');
    ASSERT_EQ(pkt_add_token(p.get(), 54, 1, payload.data(), uint16_t(payload.size())), 1);
    Buf b = Buf::adopt(pkt_encode(p.get()));
    pkt_log(p.get());
    Lines v = lines();
    ASSERT_EQ(v.size(), 3u); // header, no line for token 54, two full dump lines
    EXPECT_EQ(v[1].size(), 64u);
    EXPECT_EQ(v[2].size(), 64u);
    EXPECT_EQ(pauses, 2); // header and token only
}

// Each printer on the payload its builder writes, and on payloads too short for the offsets it
// reads: a short record prints a shortened line or none, never reads past its payload, and
// always costs one pause.
TEST_F(Log, TokenPrinters)
{
    bytes big_l(40000, 'q');
    big_l[3] = 0;
    struct {
        uint8_t id, op;
        bytes payload;
        const char *line; // null: no line
    } cases[] = {
        {1, 1, text("hello"), "ID 1 OP 1 L: 5 PL: hello"},
        {37, 2, text(std::string("a\0b", 3)), "ID 37 OP 2 L: 3 PL: a"},
        {53, 200, big_l, "ID 53 OP -56 L: -25536 PL: qqq"},
        {6, 1,
         cat({date, comma, be(1234, 8), comma, be(uint64_t(-5), 8), comma, be(1000, 8), comma,
              be(7, 2)}),
         "ID 6 OP 1 L: 42 PL: Date:240131235959 PID:1234 GID:-5 UID:1000 CRED:7"},
        {6, 1,
         cat({date, comma, be(1234, 8), comma, be(5, 8), comma, be(1000, 8), comma, be(7, 1)}),
         nullptr},
        {7, 1, cat({date, comma, be(0xFFFE, 2), comma, text("s3cret")}),
         "ID 7 OP 1 L: 22 PL: Date:240131235959 CID:-2 Secret:s3cret"},
        {7, 1, cat({date, comma, be(3, 2)}), "ID 7 OP 1 L: 15 PL: Date:240131235959 CID:3 Secret:"},
        {7, 1, cat({date, comma, be(3, 1)}), nullptr},
        {8, 1, cat({be(200, 1), comma, text("a,b"), comma, be(70000, 4)}),
         "ID 8 OP 1 L: 10 PL: 200,a,b,70000"},
        {8, 1, cat({be(5, 1), comma, text("xy")}), "ID 8 OP 1 L: 4 PL: 5,xy,0"},
        {8, 1, cat({be(5, 1), comma, text("abc"), comma, be(0x2C, 4)}),
         "ID 8 OP 1 L: 10 PL: 5,abc,,0"},
        {8, 1, be(5, 1), "ID 8 OP 1 L: 1 PL: 5,,0"},
        {8, 1, {}, nullptr},
        {9, 1, cat({be(7, 1), comma, text("hi")}), "ID 9 OP 1 L: 4 PL: 7,hi"},
        {56, 2, be(250, 1), "ID 56 OP 2 L: 1 PL: 250,"},
        {56, 2, {}, nullptr},
        {13, 1, cat({be(42, 8), comma, text("5551234"), comma, be(90, 2), comma, date}),
         "ID 13 OP 1 L: 32 PL: UID:42 TEL:5551234 CALLTIME:90"},
        {13, 1, cat({be(42, 8), comma, text("55"), comma, be(9, 1)}),
         "ID 13 OP 1 L: 13 PL: UID:42 TEL:55 CALLTIME:0"},
        {13, 1, cat({be(42, 8), comma, text("5551234")}),
         "ID 13 OP 1 L: 16 PL: UID:42 TEL:5551234 CALLTIME:0"},
        {13, 1, be(42, 8), "ID 13 OP 1 L: 8 PL: UID:42 TEL: CALLTIME:0"},
        {13, 1, be(42, 7), nullptr},
        {14, 1, cat({text("123"), comma, text("hi, there"), comma, be(0x0102030405060708, 8)}),
         "ID 14 OP 1 L: 22 Number: 123 Text: hi, there UID 72623859790382856"},
        {14, 1, text("123,hi"), "ID 14 OP 1 L: 6 Number: 123 Text:  UID 0"},
        {14, 1, text("123"), "ID 14 OP 1 L: 3 Number: 123 Text:  UID 0"},
        {39, 1, text("555,hi,there"), "ID 39 OP 1 L: 12 Number: 555,hi Text: there"},
        {39, 1, text("555"), "ID 39 OP 1 L: 3 Number: 555 Text: "},
        {50, 1, text("ignored"), "ID 50 OP 1"},
        {65, 1, cat({be(1, 8), comma, be(0x10345678, 4), comma, be(0xFFFFFFFF, 4)}),
         "UID:1 OLD REM:271865464 NEW REM: -1"},
        {65, 1, cat({be(1, 8), comma, be(0x10345678, 4), comma, be(1, 3)}), nullptr},
        {67, 1, cat({date, comma, be(7, 2), comma, be(65535, 2)}),
         "ID 67 OP 1 L: 18 PL: Date 240131235959 ID:7 CMD: 65535"},
        {67, 1, cat({date, comma, be(7, 2), comma, be(1, 1)}), nullptr},
        {54, 1, text("a,b,1"), nullptr},
        {100, 1, text("a,b"), nullptr},
        {104, 1, text("a,b"), nullptr},
        {200, 1, text("a,b"), nullptr},
    };
    Lines expected;
    for (auto &c : cases) {
        auto t = make_token(c.id, c.op, c.payload);
        tok_log_cb(t.get(), nullptr);
        if (c.line)
            expected.push_back(c.line);
    }
    EXPECT_EQ(lines(), expected);
    EXPECT_EQ(pauses, int(std::size(cases)));
}

// A text token received from the service (or whoever answers for it) that holds a newline, a
// report line's words and an escape sequence: one log line, its controls shown as \xHH.
TEST_F(Log, ReceivedTextForgesNoLineAndSendsNoEscape)
{
    const std::string forged = "\nThu Jan  1 00:00:00 1970 Device report ID: 0008001a7dda7113 "
                               "PAIRED: OK OBR: OK\x1b[2J";
    bytes wire = frame({0, 0xFF, 2, 0, 0, 0, 0, 1}, 1, 0xBEEF, token(1, 1, text(forged)));
    Packet p = Packet::adopt(pkt_parse(nullptr, heap_copy(wire), uint16_t(wire.size())));
    ASSERT_TRUE(p);
    pkt_log(p.get());
    Lines v = lines();
    size_t dump = (wire.size() + 31) / 32;
    ASSERT_EQ(v.size(), 2 + dump);
    EXPECT_EQ(v[1], "ID 1 OP 1 L: 83 PL: \\x0AThu Jan  1 00:00:00 1970 Device report ID: "
                    "0008001a7dda7113 PAIRED: OK OBR: OK\\x1B[2J");
    EXPECT_EQ(v[2], hex(wire, 0, 32)) << "the dump shows the bytes as they came";
    std::string raw = read_file(path);
    EXPECT_EQ(raw.find("\nThu Jan  1 00:00:00 1970 Device"), std::string::npos) << raw;
    EXPECT_EQ(raw.find('\x1b'), std::string::npos) << raw;
}

// Each printer's texts, the date and the fields that a comma search splits off included, with
// the controls of a terminal, C1 and direction controls in them; UTF-8 texts keep their bytes.
TEST_F(Log, EveryPrintedTextShowsItsControls)
{
    const bytes odd_date = text("2401\n1\x1b[2J59"); // twelve bytes, as the field has
    struct {
        uint8_t id, op;
        bytes payload;
        const char *line;
    } cases[] = {
        {1, 1, text("a\x1b[2Jz"), "ID 1 OP 1 L: 6 PL: a\\x1B[2Jz"},
        {37, 2,
         text("a\xc2\x9b"
              "2Jz"),
         "ID 37 OP 2 L: 6 PL: a\\xC2\\x9B2Jz"},
        {53, 1,
         text("left\xe2\x80\xae"
              "31:17"),
         "ID 53 OP 1 L: 12 PL: left\\xE2\\x80\\xAE31:17"},
        {1, 1, text("J\xc3\xbcrgen\xe2\x80\x99s caf\xc3\xa9"),
         "ID 1 OP 1 L: 17 PL: J\xc3\xbcrgen\xe2\x80\x99s caf\xc3\xa9"},
        {6, 1,
         cat({odd_date, comma, be(1234, 8), comma, be(5, 8), comma, be(1000, 8), comma, be(7, 2)}),
         "ID 6 OP 1 L: 42 PL: Date:2401\\x0A1\\x1B[2J59 PID:1234 GID:5 UID:1000 CRED:7"},
        {7, 1, cat({date, comma, be(3, 2), comma, text("s\r3\xc2\x85")}),
         "ID 7 OP 1 L: 21 PL: Date:240131235959 CID:3 Secret:s\\x0D3\\xC2\\x85"},
        {8, 1, cat({be(200, 1), comma, text("a\n,b\x7f"), comma, be(70000, 4)}),
         "ID 8 OP 1 L: 12 PL: 200,a\\x0A,b\\x7F,70000"},
        {9, 1, cat({be(7, 1), comma, text("hi\x1b")}), "ID 9 OP 1 L: 5 PL: 7,hi\\x1B"},
        {56, 2, cat({be(40, 1), comma, text("OK\n")}), "ID 56 OP 2 L: 5 PL: 40,OK\\x0A"},
        {13, 1, cat({be(42, 8), comma, text("555\n1234"), comma, be(90, 2)}),
         "ID 13 OP 1 L: 20 PL: UID:42 TEL:555\\x0A1234 CALLTIME:90"},
        {14, 1,
         cat({text("12\x1b"), comma,
              text("h\ni, th\xe2\x81\xa6"
                   "ere"),
              comma, be(0x0102030405060708, 8)}),
         "ID 14 OP 1 L: 26 Number: 12\\x1B Text: h\\x0Ai, th\\xE2\\x81\\xA6ere UID "
         "72623859790382856"},
        {39, 1, text("5\n5,t\x7f"), "ID 39 OP 1 L: 6 Number: 5\\x0A5 Text: t\\x7F"},
        {67, 1, cat({odd_date, comma, be(7, 2), comma, be(9, 2)}),
         "ID 67 OP 1 L: 18 PL: Date 2401\\x0A1\\x1B[2J59 ID:7 CMD: 9"},
    };
    Lines expected;
    for (auto &c : cases) {
        auto t = make_token(c.id, c.op, c.payload);
        tok_log_cb(t.get(), nullptr);
        expected.push_back(c.line);
    }
    EXPECT_EQ(lines(), expected);
    EXPECT_EQ(pauses, int(std::size(cases)));
}

// A token without a data block (made empty) prints as an empty payload.
TEST_F(Log, EmptyTokenRecord)
{
    for (uint8_t id : {1, 6, 8, 9, 13, 14, 39, 65}) {
        auto t = obj_ref<pkt_token>::adopt(tok_create_empty());
        t->id = id;
        tok_log_cb(t.get(), nullptr);
    }
    EXPECT_EQ(lines(), (Lines{"ID 1 OP 0 L: 0 PL: ", "ID 14 OP 0 L: 0 Number:  Text:  UID 0",
                              "ID 39 OP 0 L: 0 Number:  Text: "}));
    EXPECT_EQ(pauses, 8);
}

// One thread encodes the packet anew (dropping the buffer it held) while another logs it: the
// logger must dump whole bytes of one encoding, never freed ones.
TEST_F(Log, LoggingWhileAnotherThreadEncodes)
{
    pkt_log_set_pause([](unsigned) {});
    Packet p = Packet::adopt(make_report());
    Buf first = Buf::adopt(pkt_encode(p.get()));
    first.reset();
    std::atomic<bool> stop{false};
    auto encode = [&] {
        while (!stop)
            obj_release(pkt_encode(p.get()));
    };
    std::thread a(encode), b(encode);
    const size_t logs = 1000;
    for (size_t i = 0; i < logs; i++)
        pkt_log(p.get());
    stop = true;
    a.join();
    b.join();

    Lines dump = {hex(report_wire, 0, 32), hex(report_wire, 32, 32), hex(report_wire, 64, 15)};
    Lines v = lines();
    ASSERT_EQ(v.size(), logs * 8);
    for (size_t i = 0; i < v.size(); i += 8)
        for (size_t k = 0; k < 3; k++)
            ASSERT_EQ(v[i + 5 + k], dump[k]) << i;
}

} // namespace
