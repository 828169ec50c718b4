// Message digests over one or two buffers, covered-bits comparisons, HMAC with a 64-byte key
// block for every digest, and Base64 into a reference-counted text. No state of their own.
#pragma once

#include <cstdint>

using dgst_fn = void (*)(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb);

void dgst_md5(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb);
void dgst_sha1(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb);
void dgst_sha256(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb);
void dgst_sha512(uint8_t *out, const void *a, uint64_t la, const void *b, uint64_t lb);
void dgst_md5_one(uint8_t *out, const void *a, uint64_t la);
void dgst_sha1_one(uint8_t *out, const void *a, uint64_t la);
void dgst_sha256_one(uint8_t *out, const void *a, uint64_t la);
void dgst_sha512_one(uint8_t *out, const void *a, uint64_t la);

uint32_t dgst_covered16(const uint8_t *a, const uint8_t *b);
uint32_t dgst_covered20(const uint8_t *a, const uint8_t *b);
uint32_t dgst_covered32(const uint8_t *a, const uint8_t *b);
uint32_t dgst_covered64(const uint8_t *a, const uint8_t *b);

void hmac_compute(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen,
                  dgst_fn digest, uint32_t dlen);
void hmac_md5(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen);
void hmac_sha1(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen);
void hmac_sha256(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen);
void hmac_sha512(uint8_t *out, const void *msg, uint64_t mlen, const void *key, uint64_t klen);

// The caller owns the returned text object; null when OpenSSL or the allocation fails.
[[nodiscard]] char *b64_encode(const void *data, uint32_t len, int one_line);
[[nodiscard]] char *b64_encode_str(const char *text, int one_line);
