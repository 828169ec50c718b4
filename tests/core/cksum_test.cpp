#include "core/util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <vector>

namespace
{

// RFC 1071 the slow way: 16-bit words in host order, an odd byte padded with zero, carries
// folded after every add.
uint16_t reference(const uint8_t *p, int len, uint16_t init)
{
    uint32_t sum = init;
    for (int i = 0; i + 1 < len; i += 2) {
        uint16_t w;
        memcpy(&w, p + i, 2);
        sum += w;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    if (len % 2) {
        uint8_t pad[2] = {p[len - 1], 0};
        uint16_t w;
        memcpy(&w, pad, 2);
        sum += w;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return uint16_t(~sum);
}

uint32_t quiet(const void *data, int len, uint32_t init = 0)
{
    testing::internal::CaptureStdout();
    uint32_t r = util_inet_checksum(data, len, init);
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    return r;
}

TEST(Cksum, Rfc1071Example)
{
    const uint8_t ex[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    uint32_t r = util_inet_checksum_buf(ex, 8);
    EXPECT_EQ(r & 0xffff, 0x0D22u);
    EXPECT_EQ(r >> 16, 0xffffu);
    uint16_t stored = uint16_t(r);
    uint8_t bytes[2];
    memcpy(bytes, &stored, 2);
    EXPECT_EQ(bytes[0], 0x22);
    EXPECT_EQ(bytes[1], 0x0D);
    EXPECT_EQ(util_inet_checksum_buf(ex, 0), 0xffffffffu);
}

TEST(Cksum, OddByteIsPaddedAndReported)
{
    testing::internal::CaptureStdout();
    uint32_t r = util_inet_checksum_buf("abc", 3);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r & 0xffff, 0x9D3Bu);
    EXPECT_TRUE(std::regex_match(out, std::regex("L 1 0x[0-9a-f]+ 63\n"))) << out;
}

TEST(Cksum, EveryLengthAndAlignmentMatchesTheSlowSum)
{
    std::vector<uint8_t> buf(80);
    for (size_t i = 0; i < buf.size(); i++)
        buf[i] = uint8_t(i * 97 + 200);
    for (int off = 0; off < 4; off++)
        for (int len = 0; len <= 64; len++)
            for (uint16_t init : {0, 0x1234, 0xffff})
                ASSERT_EQ(quiet(buf.data() + off, len, init) & 0xffff,
                          reference(buf.data() + off, len, init))
                    << "len " << len << " off " << off << " init " << init;
}

TEST(Cksum, BufferHoldingItsOwnChecksumSumsToZero)
{
    uint8_t pkt[20];
    for (int i = 0; i < 20; i++)
        pkt[i] = uint8_t(i * 13 + 1);
    pkt[10] = pkt[11] = 0;
    uint16_t c = uint16_t(util_inet_checksum_buf(pkt, 20));
    memcpy(pkt + 10, &c, 2);
    EXPECT_EQ(util_inet_checksum_buf(pkt, 20) & 0xffff, 0u);
}

TEST(Cksum, ContinuationEqualsTheWhole)
{
    const uint8_t ab[10] = {1, 2, 3, 4, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54};
    EXPECT_EQ(util_inet_checksum_continue(util_inet_checksum_buf(ab, 4), ab + 4, 6),
              util_inet_checksum_buf(ab, 10));
    EXPECT_EQ(util_inet_checksum_seeded(ab, 10, 0x10001), util_inet_checksum(ab, 10, 1));
}

} // namespace
