#include "proto_fixture.h"

#include "core/obj_private.h"

#include <random>
#include <thread>

namespace
{

using namespace proto_test;

using Packet = obj_ref<pkt_packet>;
using Buf = obj_ref<pkt_buf>;

// Records.

TEST(Records, NewPacketIsEmptyAndEncodesToEighteenBytes)
{
    Packet p = Packet::adopt(pkt_create());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->marker, 0x7E);
    EXPECT_EQ(p->cmd, 0);
    EXPECT_EQ(p->mid, 0);
    EXPECT_EQ(tbl_count(p->tokens), 0);
    EXPECT_EQ(p->encoded, nullptr);
    Buf b = Buf::adopt(pkt_encode(p.get()));
    ASSERT_TRUE(b);
    bytes w = wire_of(b.get());
    ASSERT_EQ(w.size(), 18u);
    EXPECT_EQ(bytes(w.begin() + 10, w.begin() + 14), (bytes{0, 0, 0, 2}));
    EXPECT_EQ(ref_crc(w.data(), 16), uint16_t(w[16] << 8 | w[17]));
}

TEST(Records, TokensComeOutByIdThenInOrderAdded)
{
    Packet p = Packet::adopt(pkt_create());
    uint8_t a = 'a', b = 'b', c = 'c';
    ASSERT_EQ(pkt_add_token(p.get(), 56, 2, &a, 1), 1);
    ASSERT_EQ(pkt_add_token(p.get(), 9, 1, &b, 1), 1);
    ASSERT_EQ(pkt_add_token(p.get(), 56, 2, &c, 1), 1);
    auto v = tokens_of(p.get());
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0]->id, 9);
    EXPECT_EQ(v[0]->index, 1);
    EXPECT_EQ(v[1]->id, 56);
    EXPECT_EQ(v[1]->index, 0);
    EXPECT_EQ(v[2]->index, 2);

    Buf e = Buf::adopt(pkt_encode(p.get()));
    bytes w = wire_of(e.get());
    bytes tokens(w.begin() + 16, w.end() - 2);
    EXPECT_EQ(tokens, (bytes{9, 1, 0, 1, 'b', 56, 2, 0, 1, 'a', 56, 2, 0, 1, 'c'}));
}

TEST(Records, EmptyTokenHoldsItsNulAndCostsFourBytes)
{
    Packet p = Packet::adopt(pkt_create());
    ASSERT_EQ(pkt_add_token(p.get(), 50, 1, nullptr, 0), 1);
    auto v = tokens_of(p.get());
    ASSERT_EQ(v.size(), 1u);
    ASSERT_NE(v[0]->data, nullptr);
    EXPECT_EQ(v[0]->data[0], 0);
    Buf e = Buf::adopt(pkt_encode(p.get()));
    EXPECT_EQ(wire_of(e.get()).size(), 22u);
    EXPECT_EQ(e->data[16 + 3], 0); // L 0, head alone
}

TEST(Records, AddTokenRefusesMissingDataAndMissingPacket)
{
    Packet p = Packet::adopt(pkt_create());
    EXPECT_EQ(pkt_add_token(p.get(), 1, 1, nullptr, 3), 0);
    EXPECT_EQ(pkt_add_token(nullptr, 1, 1, "abc", 3), 0);
    EXPECT_EQ(tbl_count(p->tokens), 0);
}

TEST(Records, BufferTakesItsBytesAndOutlivesThePacket)
{
    pkt_buf *empty = pkt_buf_create(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->data, nullptr);
    EXPECT_EQ(empty->len, 2u);
    EXPECT_EQ(empty->hdr, 16);
    obj_release(empty);

    pkt_packet *p = make_report();
    pkt_token *first = tokens_of(p)[0];
    ASSERT_GT(obj_retain(first), 0);
    pkt_buf *b = pkt_encode(p);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(obj_refcount(b), 2);
    obj_release(p);
    EXPECT_EQ(obj_refcount(b), 1);
    EXPECT_EQ(wire_of(b), report_wire);
    EXPECT_EQ(obj_refcount(first), 1); // the table's reference went with the packet
    obj_release(first);
    obj_release(b);
}

TEST(Records, TokenKeyAndSmallRecords)
{
    pkt_token *t = tok_create_empty();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->data, nullptr);
    t->id = 0x38;
    t->index = 0x1234;
    EXPECT_EQ(tok_key_cb(t, 0), 0x38001234u);
    uint32_t key = 0x09000001;
    EXPECT_EQ(tok_key_cb(&key, 1), key);
    obj_release(t);

    int x;
    pkt_box *box = pkt_box_create(&x);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->p, &x);
    obj_release(box);
}

// CRC.

TEST(Crc, CheckValueAndShortLengths)
{
    const char *check = "123456789--";
    EXPECT_EQ(pkt_crc16_modbus(check, 11), 0x4B37);
    for (size_t n : {0, 1, 2})
        EXPECT_EQ(pkt_crc16_modbus(nullptr, n), 0xFFFF) << n;
}

TEST(Crc, TableEntriesShowThroughOneByteSums)
{
    // One byte b from 0xFFFF gives 0x00FF ^ table[0xFF ^ b].
    const uint8_t one[3] = {0xFE, 0, 0}, last[3] = {0x00, 0, 0};
    EXPECT_EQ(pkt_crc16_modbus(one, 3) ^ 0x00FF, 0xC0C1);
    EXPECT_EQ(pkt_crc16_modbus(last, 3) ^ 0x00FF, 0x4040);
}

TEST(Crc, AgreesWithTheBitwiseSumOnRandomData)
{
    std::mt19937 rng(7);
    bytes data(4096);
    for (auto &b : data)
        b = uint8_t(rng());
    for (size_t n = 3; n < data.size(); n += 1 + n / 3)
        ASSERT_EQ(pkt_crc16_modbus(data.data(), n), ref_crc(data.data(), n - 2)) << n;
    pkt_crc16_table_free();
    EXPECT_EQ(pkt_crc16_modbus(data.data(), data.size()), ref_crc(data.data(), data.size() - 2));
}

// The table is a constant; this guards against one filled on first use, which threads would race
// to fill.
TEST(Crc, ManyThreadsGetTheSameSums)
{
    const char *check = "123456789--";
    std::atomic<int> wrong{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 8; i++)
        ts.emplace_back([&] {
            for (int k = 0; k < 200; k++)
                if (pkt_crc16_modbus(check, 11) != 0x4B37)
                    wrong++;
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(wrong, 0);
}

// Encoding.

TEST(Encode, DeviceReportByteForByte)
{
    Packet p = Packet::adopt(make_report());
    Buf b = Buf::adopt(pkt_encode(p.get()));
    ASSERT_TRUE(b);
    EXPECT_EQ(wire_of(b.get()), report_wire);
    EXPECT_EQ(b->len, 63u);
    EXPECT_EQ(b->csum, 0x3FEC);
    EXPECT_EQ(b->cur, b->data + 79);
    EXPECT_EQ(ref_crc(b->data, 77), 0x3FEC);
    EXPECT_EQ(pkt_buf_verify_crc(b.get()), 1);
    for (size_t i = 0; i < 77; i++) {
        b->data[i] ^= 0x01;
        EXPECT_EQ(pkt_buf_verify_crc(b.get()), 0) << i;
        b->data[i] ^= 0x01;
    }
}

TEST(Encode, PollAndAcknowledgement)
{
    Packet p = Packet::adopt(pkt_create());
    const uint8_t id[8] = {0x00, 0xFF, 0x02, 0, 0, 0, 0, 0x01};
    memcpy(p->id, id, 8);
    p->cmd = 1;
    p->mid = 0xBEEF;
    Buf poll = Buf::adopt(pkt_encode(p.get()));
    EXPECT_EQ(wire_of(poll.get()), (bytes{0x7E, 0x00, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01,
                                          0x01, 0x00, 0x00, 0x00, 0x02, 0xBE, 0xEF, 0x2D, 0xA7}));
    p->cmd = 4;
    Buf ack = Buf::adopt(pkt_encode(p.get()));
    bytes w = wire_of(ack.get());
    EXPECT_EQ(bytes(w.end() - 2, w.end()), (bytes{0x2D, 0xF2}));
    // The first buffer left the packet but is still whole for the caller that holds it.
    EXPECT_EQ(p->encoded, ack.get());
    EXPECT_EQ(obj_refcount(poll.get()), 1);
    EXPECT_EQ(poll->data[9], 0x01);
}

// Tokens whose bytes pass 65535 cannot be told in a 16-bit count; summed in 16 bits they would
// also wrap to a small Len and overrun the block sized from it.
TEST(Encode, RefusesPacketsPastTheLargestSize)
{
    struct {
        std::vector<size_t> payloads;
        bool fits;
    } cases[] = {
        {{65535 - 18 - 4}, true},     {{65535 - 18 - 4 + 1}, false}, {{65535}, false},
        {{32768, 32768}, false}, // wraps to Len 10 in 16 bits
        {{30000, 30000, 5505}, true},
    };
    for (auto &c : cases) {
        Packet p = Packet::adopt(pkt_create());
        for (size_t n : c.payloads) {
            bytes payload(n, 'x');
            ASSERT_EQ(pkt_add_token(p.get(), 1, 1, payload.data(), uint16_t(n)), 1);
        }
        Buf b = Buf::adopt(pkt_encode(p.get()));
        ASSERT_EQ(bool(b), c.fits) << c.payloads.size() << " tokens, first " << c.payloads[0];
        if (b) {
            EXPECT_EQ(b->hdr + b->len, 65535u);
            EXPECT_EQ(pkt_buf_verify_crc(b.get()), 1);
        } else {
            EXPECT_EQ(p->encoded, nullptr);
        }
    }
}

TEST(Encode, NullPacket)
{
    EXPECT_EQ(pkt_encode(nullptr), nullptr);
}

// Fails the n-th record allocation of the calling thread from now on (1 is the next one).
std::atomic<int> allocs_left{0};
thread_local bool failing_thread = false;
bool fail_nth(int32_t, obj_destroy_fn)
{
    return failing_thread && allocs_left.fetch_sub(1) == 1;
}

// Whichever of its records cannot be made, the encoding fails as a whole: never a packet that
// leaves tokens out.
TEST(Encode, EveryAllocationFailureFailsTheEncoding)
{
    Packet p = Packet::adopt(make_report());
    ASSERT_TRUE(p);
    obj_set_alloc_fail(fail_nth);
    failing_thread = true;
    int n = 1;
    for (;; n++) {
        allocs_left = n;
        Buf b = Buf::adopt(pkt_encode(p.get()));
        if (allocs_left <= 0) {
            EXPECT_FALSE(b) << "allocation " << n << " failed, " << wire_of(b.get()).size()
                            << " bytes came out";
            EXPECT_EQ(p->encoded, nullptr);
            continue;
        }
        ASSERT_TRUE(b);
        EXPECT_EQ(wire_of(b.get()), report_wire);
        break;
    }
    failing_thread = false;
    obj_set_alloc_fail(nullptr);
    EXPECT_GE(n, 4); // the buffer and the iterators of both token walks
}

// Encoding the same packet from several threads: each caller gets whole bytes of its own.
TEST(Encode, ConcurrentEncodingsStayWhole)
{
    Packet p = Packet::adopt(make_report());
    std::atomic<int> wrong{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; i++)
        ts.emplace_back([&] {
            for (int k = 0; k < 300; k++) {
                Buf b = Buf::adopt(pkt_encode(p.get()));
                if (!b || wire_of(b.get()) != report_wire)
                    wrong++;
            }
        });
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(wrong, 0);
}

// Parsing.

struct Parse : LogFile {
    Packet request = Packet::adopt(make_report());

    Packet parse(const pkt_packet *req, const bytes &b)
    {
        return Packet::adopt(pkt_parse(req, heap_copy(b), uint16_t(b.size())));
    }
};

TEST_F(Parse, DeviceReportAgainstItsRequest)
{
    Packet p = parse(request.get(), report_wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->cmd, -3);
    EXPECT_EQ(p->mid, 0x1234);
    EXPECT_EQ(bytes(p->id, p->id + 8), report_id);
    EXPECT_EQ(p->encoded->len, 63u);
    EXPECT_EQ(p->encoded->csum, 0x3FEC);
    EXPECT_EQ(p->encoded->cur, p->encoded->data + 79);
    auto v = tokens_of(p.get());
    ASSERT_EQ(v.size(), 4u);
    const char *texts[] = {"\x06,000800112233ABCD", "\x07,00:11:22:33:AB:CD", "(,OK", "),OK"};
    for (uint16_t i = 0; i < 4; i++) {
        EXPECT_EQ(v[i]->index, i);
        EXPECT_EQ(v[i]->id, 56);
        EXPECT_EQ(v[i]->op, 2);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(v[i]->data), v[i]->len), texts[i]);
        EXPECT_EQ(v[i]->data[v[i]->len], 0);
    }
    EXPECT_TRUE(lines().empty());
    // What was parsed encodes back to the same bytes.
    Buf again = Buf::adopt(pkt_encode(p.get()));
    EXPECT_EQ(wire_of(again.get()), report_wire);
}

TEST_F(Parse, PacketWithoutTokensHasNoTable)
{
    bytes poll = frame({0, 0xFF, 2, 0, 0, 0, 0, 1}, 1, 0xBEEF, {});
    Packet p = parse(nullptr, poll);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->tokens, nullptr);
    EXPECT_EQ(p->encoded->len, 2u);
}

// What the request does and does not let through, and that a refusal leaves no line.
TEST_F(Parse, RequestMatchesMarkerMidAndId)
{
    bytes other_id = report_wire;
    other_id[8] ^= 1;
    bytes other_mid = report_wire;
    other_mid[15] ^= 1;
    bytes other_marker = report_wire;
    other_marker[0] = 0x7F;
    for (bytes *b : {&other_id, &other_mid, &other_marker}) {
        uint16_t crc = ref_crc(b->data(), 77);
        (*b)[77] = uint8_t(crc >> 8);
        (*b)[78] = uint8_t(crc);
        EXPECT_FALSE(parse(request.get(), *b));
        Packet alone = parse(nullptr, *b);
        ASSERT_TRUE(alone);
        EXPECT_EQ(alone->marker, (*b)[0]);
    }
    EXPECT_TRUE(lines().empty());
}

TEST_F(Parse, ShortPacketsAndEmptyInput)
{
    bytes poll = frame(report_id, 1, 0x1234, {});
    for (size_t n : {17, 1, 0}) {
        EXPECT_FALSE(parse(nullptr, bytes(poll.begin(), poll.begin() + n))) << n;
        EXPECT_FALSE(parse(request.get(), bytes(poll.begin(), poll.begin() + n))) << n;
    }
    // Nothing at all, not even a block: the same line, and no byte read.
    EXPECT_EQ(pkt_parse(request.get(), nullptr, 5), nullptr);
    auto v = lines();
    EXPECT_EQ(v, std::vector<std::string>(7, "Packet To short"));
}

TEST_F(Parse, LengthAndChecksumMismatch)
{
    EXPECT_FALSE(parse(request.get(), bytes(report_wire.begin(), report_wire.end() - 1)));
    bytes changed = report_wire;
    changed[40] ^= 0x20;
    EXPECT_FALSE(parse(request.get(), changed));
    bytes bad_trailer = report_wire;
    bad_trailer[78] ^= 1;
    EXPECT_FALSE(parse(nullptr, bad_trailer));
    EXPECT_EQ(lines(), (std::vector<std::string>{"Packet Wrong Len/Verify 79 78",
                                                 "Packet Wrong Len/Verify 79 79",
                                                 "Packet Wrong Len/Verify 79 79"}));
}

// A Len that only matches the byte count after wrapping (16 or 32 bits) must not pass: the
// trailer would be read far past the bytes received.
TEST_F(Parse, LenFieldNeverWrapsOntoTheByteCount)
{
    const uint32_t lens[] = {0x00010002, 0xFFFF0002, 0xFFFFFFF2, 0xFFFFFFFF, 0x80000002, 0, 1, 3};
    bytes poll = frame(report_id, 1, 0x1234, {});
    std::vector<std::string> expected;
    for (uint32_t len : lens) {
        bytes b = poll;
        for (int i = 0; i < 4; i++)
            b[10 + i] = uint8_t(len >> (24 - 8 * i));
        uint16_t crc = ref_crc(b.data(), 16);
        b[16] = uint8_t(crc >> 8);
        b[17] = uint8_t(crc);
        EXPECT_FALSE(parse(request.get(), b)) << std::hex << len;
        expected.push_back("Packet Wrong Len/Verify " + std::to_string((16 + len) & 0xFFFF) +
                           " 18");
    }
    EXPECT_EQ(lines(), expected);
}

TEST_F(Parse, LongTokenIsTakenWhole)
{
    bytes payload(300);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = uint8_t(i * 7);
    bytes toks = token(1, 1, payload);
    bytes second = token(2, 1, text("next"));
    toks.insert(toks.end(), second.begin(), second.end());
    Packet p = parse(nullptr, frame(report_id, 5, 1, toks));
    ASSERT_TRUE(p);
    auto v = tokens_of(p.get());
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]->len, 300);
    EXPECT_EQ(bytes(v[0]->data, v[0]->data + 300), payload);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(v[1]->data)), "next");
}

TEST_F(Parse, TokenOverruns)
{
    bytes good = token(9, 1, text("abc"));
    struct {
        const char *what;
        bytes tokens;
    } cases[] = {
        {"head claims one byte more", {9, 1, 0, 4, 'a', 'b', 'c'}},
        {"head claims 65535", {9, 1, 0xFF, 0xFF, 'a'}},
        {"one stray byte", {}},
        {"three stray bytes", {}},
        {"half a head alone", {9, 1}},
    };
    cases[2].tokens = good;
    cases[2].tokens.push_back(0);
    cases[3].tokens = good;
    cases[3].tokens.insert(cases[3].tokens.end(), {1, 2, 3});
    for (auto &c : cases)
        EXPECT_FALSE(parse(nullptr, frame(report_id, 5, 1, c.tokens))) << c.what;
    EXPECT_EQ(lines(), std::vector<std::string>(std::size(cases), "Token Overrun"));
}

TEST_F(Parse, TokensOrderedByIdThenArrival)
{
    bytes toks = token(56, 2, text("first"));
    bytes nine = token(9, 1, text("second"));
    toks.insert(toks.end(), nine.begin(), nine.end());
    Packet p = parse(nullptr, frame(report_id, 5, 1, toks));
    ASSERT_TRUE(p);
    auto v = tokens_of(p.get());
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]->id, 9);
    EXPECT_EQ(v[0]->index, 1);
    EXPECT_EQ(v[1]->id, 56);
    EXPECT_EQ(v[1]->index, 0);
}

} // namespace
