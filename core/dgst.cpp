#include "core/dgst.h"

#include "core/obj.h"

#include <cstring>
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

namespace
{

// The *_Update calls take size_t; feed 64-bit lengths in pieces that always fit.
template <class Ctx, class Update>
void feed(Ctx *ctx, Update update, const void *p, uint64_t n)
{
    auto c = static_cast<const uint8_t *>(p);
    do {
        uint64_t piece = n > (uint64_t(1) << 30) ? (uint64_t(1) << 30) : n;
        update(ctx, c, size_t(piece));
        c += piece;
        n -= piece;
    } while (n > 0);
}

template <class Ctx, class Init, class Update, class Final>
void two_buffer(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb, Init init,
                Update update, Final fin)
{
    Ctx ctx;
    init(&ctx);
    feed(&ctx, update, a, la);
    if (b)
        feed(&ctx, update, b, lb);
    fin(out, &ctx);
}

uint32_t covered(const uint8_t *a, const uint8_t *b, int n)
{
    uint32_t sum = 0;
    for (int i = 0; i < n; i++)
        sum += uint32_t(a[i] & ~b[i] & 0xff);
    return sum;
}

} // namespace

void dgst_md5(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb)
{
    two_buffer<MD5_CTX>(out, a, la, b, lb, MD5_Init, MD5_Update, MD5_Final);
}

void dgst_sha1(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb)
{
    two_buffer<SHA_CTX>(out, a, la, b, lb, SHA1_Init, SHA1_Update, SHA1_Final);
}

void dgst_sha256(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb)
{
    two_buffer<SHA256_CTX>(out, a, la, b, lb, SHA256_Init, SHA256_Update, SHA256_Final);
}

void dgst_sha512(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb)
{
    two_buffer<SHA512_CTX>(out, a, la, b, lb, SHA512_Init, SHA512_Update, SHA512_Final);
}

void dgst_md5_one(uint8_t *out, const void *a, uint64_t la)
{
    dgst_md5(out, a, la, nullptr, 0);
}

void dgst_sha1_one(uint8_t *out, const void *a, uint64_t la)
{
    dgst_sha1(out, a, la, nullptr, 0);
}

void dgst_sha256_one(uint8_t *out, const void *a, uint64_t la)
{
    dgst_sha256(out, a, la, nullptr, 0);
}

void dgst_sha512_one(uint8_t *out, const void *a, uint64_t la)
{
    dgst_sha512(out, a, la, nullptr, 0);
}

uint32_t dgst_covered16(const uint8_t *a, const uint8_t *b)
{
    return covered(a, b, 16);
}

uint32_t dgst_covered20(const uint8_t *a, const uint8_t *b)
{
    return covered(a, b, 20);
}

uint32_t dgst_covered32(const uint8_t *a, const uint8_t *b)
{
    return covered(a, b, 32);
}

uint32_t dgst_covered64(const uint8_t *a, const uint8_t *b)
{
    return covered(a, b, 64);
}

void hmac_compute(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen,
                  dgst_fn digest, uint32_t dlen)
{
    constexpr int B = 64;
    uint8_t block[B] = {};
    if (klen <= B) {
        if (klen > 0)
            memcpy(block, key, size_t(klen));
    } else {
        uint8_t kd[64];
        digest(kd, key, klen, nullptr, 0);
        memcpy(block, kd, dlen);
    }
    uint8_t inner[B], outer[B];
    for (int i = 0; i < B; i++) {
        inner[i] = block[i] ^ 0x36;
        outer[i] = block[i] ^ 0x5c;
    }
    digest(out, inner, B, msg, mlen);
    digest(out, outer, B, out, dlen);
}

void hmac_md5(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen)
{
    hmac_compute(out, msg, mlen, key, klen, dgst_md5, 16);
}

void hmac_sha1(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen)
{
    hmac_compute(out, msg, mlen, key, klen, dgst_sha1, 20);
}

void hmac_sha256(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen)
{
    hmac_compute(out, msg, mlen, key, klen, dgst_sha256, 32);
}

void hmac_sha512(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen)
{
    hmac_compute(out, msg, mlen, key, klen, dgst_sha512, 64);
}

char *b64_encode(const void *data, uint32_t len, int one_line)
{
    BIO *b64 = BIO_new(BIO_f_base64());
    BIO *mem = BIO_new(BIO_s_mem());
    if (!b64 || !mem) {
        BIO_free(b64);
        BIO_free(mem);
        return nullptr;
    }
    BIO *chain = BIO_push(b64, mem);
    if (one_line)
        BIO_set_flags(chain, BIO_FLAGS_BASE64_NO_NL);
    // BIO_write takes an int: write long inputs in pieces.
    auto p = static_cast<const uint8_t *>(data);
    for (uint32_t left = len; left > 0;) {
        int piece = left > (1u << 30) ? (1 << 30) : int(left);
        if (BIO_write(chain, p, piece) != piece) {
            BIO_free_all(chain);
            return nullptr;
        }
        p += piece;
        left -= uint32_t(piece);
    }
    (void)BIO_flush(chain);
    BUF_MEM *buf = nullptr;
    BIO_get_mem_ptr(mem, &buf);
    char *text = nullptr;
    if (buf && buf->length < size_t(INT32_MAX)) {
        text = static_cast<char *>(obj_alloc(int32_t(buf->length + 1), nullptr));
        if (text && buf->length > 0)
            memcpy(text, buf->data, buf->length);
    }
    BIO_free_all(chain);
    return text;
}

char *b64_encode_str(const char *text, int one_line)
{
    return b64_encode(text, uint32_t(strlen(text)), one_line);
}
