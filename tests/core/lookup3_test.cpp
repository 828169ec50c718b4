#include "core/lookup3.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{

const char four_score[] = "Four score and seven years ago";

TEST(Lookup3, PublishedValues)
{
    EXPECT_EQ(hashlittle("", 0, 0), 0xdeadbeefu);
    EXPECT_EQ(hashlittle("", 0, 7), 0xdeadbeefu + 7);
    EXPECT_EQ(hashbig("", 0, 7), 0xdeadbeefu + 7);
    EXPECT_EQ(hashlittle(four_score, 30, 0), 0x17770551u);
    EXPECT_EQ(hashlittle(four_score, 30, 1), 0xcd628161u);

    struct {
        uint32_t c, b, want_c, want_b;
        const char *key;
    } const cases[] = {
        {0, 0, 0xdeadbeef, 0xdeadbeef, ""},
        {0, 0xdeadbeef, 0xbd5b7dde, 0xdeadbeef, ""},
        {0xdeadbeef, 0xdeadbeef, 0x9c093ccd, 0xbd5b7dde, ""},
        {0, 0, 0x17770551, 0xce7226e6, four_score},
        {0, 1, 0xe3607cae, 0xbd371de4, four_score},
        {1, 0, 0xcd628161, 0x6cbea4b3, four_score},
    };
    for (const auto &t : cases) {
        uint32_t c = t.c, b = t.b;
        hashlittle2(t.key, strlen(t.key), &c, &b);
        EXPECT_EQ(c, t.want_c) << t.key << " " << t.c << "," << t.b;
        EXPECT_EQ(b, t.want_b) << t.key << " " << t.c << "," << t.b;
    }

    // The word, half-word and byte readers each meet the published values, whatever alignment
    // the compiler gave the literal above.
    alignas(4) char buf[36];
    for (size_t off = 0; off < 4; off++) {
        memcpy(buf + off, four_score, 30);
        EXPECT_EQ(hashlittle(buf + off, 30, 0), 0x17770551u) << "at +" << off;
        uint32_t c = 1, b = 0;
        hashlittle2(buf + off, 30, &c, &b);
        EXPECT_EQ(c, 0xcd628161u) << "at +" << off;
        EXPECT_EQ(b, 0x6cbea4b3u) << "at +" << off;
    }
}

// The aligned word, half-word and byte paths of hashlittle must agree for every length, and
// on a little-endian host hashword over words equals hashlittle over their bytes; hashbig
// over big-endian bytes equals hashword over the words they spell.
TEST(Lookup3, AllPathsAgreeForEveryLength)
{
    std::vector<uint8_t> src(64);
    for (size_t i = 0; i < src.size(); i++)
        src[i] = uint8_t(i * 37 + 11);
    alignas(8) uint8_t buf[80];
    for (size_t len = 0; len <= 40; len++) {
        memcpy(buf, src.data(), len);
        uint32_t want = hashlittle(buf, len, 0x1234);
        for (size_t off = 1; off < 4; off++) {
            memcpy(buf + off, src.data(), len);
            ASSERT_EQ(hashlittle(buf + off, len, 0x1234), want) << len << " at +" << off;
            uint32_t c = 0x1234, b = 0;
            hashlittle2(buf + off, len, &c, &b);
            ASSERT_EQ(c, want);
        }
    }
    uint32_t words[10];
    uint8_t le[40], be[40];
    for (int i = 0; i < 10; i++) {
        words[i] = 0x9e3779b9u * uint32_t(i + 1);
        for (int j = 0; j < 4; j++) {
            le[i * 4 + j] = uint8_t(words[i] >> (8 * j));
            be[i * 4 + j] = uint8_t(words[i] >> (24 - 8 * j));
        }
    }
    for (size_t n = 0; n <= 10; n++) {
        EXPECT_EQ(hashword(words, n, 99), hashlittle(le, n * 4, 99)) << n;
        EXPECT_EQ(hashword(words, n, 99), hashbig(be, n * 4, 99)) << n;
        uint32_t c1 = 5, b1 = 6, c2 = 5, b2 = 6;
        hashword2(words, n, &c1, &b1);
        hashlittle2(le, n * 4, &c2, &b2);
        EXPECT_EQ(c1, c2);
        EXPECT_EQ(b1, b2);
    }
}

} // namespace
