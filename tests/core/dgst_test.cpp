#include "core/dgst.h"

#include "core/obj.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <string>
#include <vector>

namespace
{

std::string hex(const uint8_t *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string rep(char c, size_t n)
{
    return std::string(n, c);
}

TEST(Dgst, KnownDigestsAndTwoBufferForm)
{
    struct {
        void (*one)(uint8_t *, const void *, uint64_t);
        dgst_fn two;
        size_t n;
        const char *abc;
    } const cases[] = {
        {dgst_md5_one, dgst_md5, 16, "900150983cd24fb0d6963f7d28e17f72"},
        {dgst_sha1_one, dgst_sha1, 20, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {dgst_sha256_one, dgst_sha256, 32,
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {dgst_sha512_one, dgst_sha512, 64,
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const auto &c : cases) {
        uint8_t a[64], b[64];
        c.one(a, "abc", 3);
        EXPECT_EQ(hex(a, c.n), c.abc);
        c.two(b, "a", 1, "bc", 2);
        EXPECT_EQ(hex(b, c.n), c.abc);
        c.two(b, "", 0, "abc", 3);
        EXPECT_EQ(hex(b, c.n), c.abc);
    }
}

TEST(Dgst, CoveredBits)
{
    uint8_t a[64], b[64];
    for (int i = 0; i < 64; i++)
        a[i] = b[i] = uint8_t(i * 5);
    EXPECT_EQ(dgst_covered32(a, a), 0u);
    b[7] |= 0x80; // b has a further bit
    EXPECT_EQ(dgst_covered32(a, b), 0u);
    b[3] = a[3] & ~0x04; // b lacks one of a's bits
    EXPECT_EQ(dgst_covered32(a, b), 0x04u);
    EXPECT_EQ(dgst_covered16(a, b), 0x04u);
    EXPECT_EQ(dgst_covered20(a, b), 0x04u);
    EXPECT_EQ(dgst_covered64(a, b), 0x04u);
    b[40] = 0;
    EXPECT_EQ(dgst_covered32(a, b), 0x04u); // beyond 32 bytes
    EXPECT_EQ(dgst_covered64(a, b), 0x04u + a[40]);
}

TEST(Hmac, RfcVectors)
{
    using fn = void (*)(uint8_t *, const void *, uint64_t, const void *, uint64_t);
    const std::string big1 = "Test Using Larger Than Block-Size Key - Hash Key First";
    const std::string big2 =
        "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";
    const std::string big3 =
        "This is a test using a larger than block-size key and a larger than block-size data. "
        "The key needs to be hashed before being used by the HMAC algorithm.";
    struct {
        fn f;
        size_t n;
        std::string key, msg;
        const char *want;
    } const cases[] = {
        // RFC 2202
        {hmac_md5, 16, rep('\x0b', 16), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {hmac_md5, 16, "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {hmac_md5, 16, rep('\xaa', 16), rep('\xdd', 50), "56be34521d144c88dbb8c733f0e8b3f6"},
        {hmac_md5, 16, rep('\xaa', 80), big1, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {hmac_md5, 16, rep('\xaa', 80), big2, "6f630fad67cda0ee1fb1f562db3aa53e"},
        {hmac_sha1, 20, rep('\x0b', 20), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {hmac_sha1, 20, "Jefe", "what do ya want for nothing?",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {hmac_sha1, 20, rep('\xaa', 80), big1, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {hmac_sha1, 20, rep('\xaa', 80), big2, "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // RFC 4231
        {hmac_sha256, 32, rep('\x0b', 20), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {hmac_sha256, 32, "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {hmac_sha256, 32, rep('\xaa', 131), big1,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {hmac_sha256, 32, rep('\xaa', 131), big3,
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto &c : cases) {
        uint8_t out[64];
        c.f(out, c.msg.data(), c.msg.size(), c.key.data(), c.key.size());
        EXPECT_EQ(hex(out, c.n), c.want) << c.msg << " key " << c.key.size();
    }
}

// OpenSSL's own HMAC as an independent reference at every key length around the block size;
// SHA-512 is the exception: its 64-byte key block makes it differ from the standard one.
TEST(Hmac, MatchesOpenSslAroundTheBlockSize)
{
    const std::string msg = "message";
    for (size_t klen : {0, 1, 63, 64, 65, 100, 200}) {
        std::string key;
        for (size_t i = 0; i < klen; i++)
            key += char(i * 7 + 1);
        struct {
            void (*f)(uint8_t *, const void *, uint64_t, const void *, uint64_t);
            const EVP_MD *md;
            bool same;
        } const cases[] = {{hmac_md5, EVP_md5(), true},
                           {hmac_sha1, EVP_sha1(), true},
                           {hmac_sha256, EVP_sha256(), true},
                           {hmac_sha512, EVP_sha512(), false}};
        for (const auto &c : cases) {
            uint8_t ours[64], theirs[64];
            unsigned int n = 0;
            c.f(ours, msg.data(), msg.size(), key.data(), key.size());
            HMAC(c.md, key.data(), int(key.size()), reinterpret_cast<const uint8_t *>(msg.data()),
                 msg.size(), theirs, &n);
            EXPECT_EQ(hex(ours, n) == hex(theirs, n), c.same) << "klen " << klen << " n " << n;
        }
    }
    // A key longer than the block is replaced by its digest.
    std::string longkey(65, 'k');
    uint8_t kd[20], a[20], b[20];
    dgst_sha1_one(kd, longkey.data(), longkey.size());
    hmac_sha1(a, "m", 1, longkey.data(), longkey.size());
    hmac_sha1(b, "m", 1, kd, 20);
    EXPECT_EQ(hex(a, 20), hex(b, 20));
    // An empty key may come without a buffer; it is the empty key all the same.
    hmac_sha1(a, "m", 1, nullptr, 0);
    hmac_sha1(b, "m", 1, "", 0);
    EXPECT_EQ(hex(a, 20), hex(b, 20));
}

std::string b64(const std::string &in, int one_line)
{
    char *t = b64_encode(in.data(), uint32_t(in.size()), one_line);
    EXPECT_NE(t, nullptr);
    std::string s = t ? t : "";
    obj_release(t);
    return s;
}

TEST(Base64, Rfc4648AndLineBreaks)
{
    const char *const vectors[][2] = {{"", ""},
                                      {"f", "Zg=="},
                                      {"fo", "Zm8="},
                                      {"foo", "Zm9v"},
                                      {"foob", "Zm9vYg=="},
                                      {"fooba", "Zm9vYmE="},
                                      {"foobar", "Zm9vYmFy"}};
    for (const auto &v : vectors) {
        EXPECT_EQ(b64(v[0], 1), v[1]);
        EXPECT_EQ(b64(v[0], 0), *v[1] ? std::string(v[1]) + "\n" : "");
    }
    std::string in48(48, 'x'), in49(49, 'x');
    std::string l48 = b64(in48, 0), l49 = b64(in49, 0), o49 = b64(in49, 1);
    EXPECT_EQ(l48.size(), 65u);
    EXPECT_EQ(l48.find('\n'), 64u);
    EXPECT_EQ(l49.size(), 64u + 1 + 4 + 1);
    EXPECT_EQ(l49[64], '\n');
    EXPECT_EQ(l49.back(), '\n');
    EXPECT_EQ(o49.size(), 68u);
    EXPECT_EQ(o49.find('\n'), std::string::npos);

    char *s = b64_encode_str("foobar", 1);
    EXPECT_STREQ(s, "Zm9vYmFy");
    obj_release(s);
}

} // namespace
