// Small stateless helpers: random numbers, byte order, texts, time values, files, and the
// Internet checksum. Safe from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/time.h>
#include <sys/types.h>

void util_seed_random();
int util_random_bytes(void *buf, int len);
uint64_t util_hton64(uint64_t v);
uint64_t util_ntoh64(uint64_t v);
int util_print_text(const char *text);

int util_str_is_empty(const char *s);
char *util_str_skip_space(char *s);
void util_str_trim_trailing(char *s);
char *util_str_ltrim(char *s);
char *util_str_rtrim(char *s);
char *util_str_trim(char *s);
int util_str_is_ascii(const char *s);

uint64_t util_tv_to_ntp(const struct timeval *t);
int util_tv_sub(struct timeval *out, const struct timeval *x, const struct timeval *y);
int util_file_create_owned(const char *path, uid_t uid, gid_t gid);
// fopen with "r", or with "w" when write is set, of this process's own file in a folder that
// every user may write to (the daemon runs as root): a regular file of the effective user with
// a single link, never reached through a symbolic link. Reading anything else gives null, as a
// missing file does. Writing, where others may make entries in the folder, removes anything
// else at the path (the entry alone) and creates the file exclusively (mode 0666 less the
// umask); elsewhere it removes nothing and gives null. The own file is emptied, once checked.
FILE *util_fopen_own(const char *path, bool write);

// RFC 1071 Internet checksum over host-order words; the low 16 bits are the checksum.
uint32_t util_inet_checksum(const void *data, int len, uint32_t init);
uint32_t util_inet_checksum_buf(const void *data, int len);
uint32_t util_inet_checksum_seeded(const void *data, int len, uint32_t init);
uint32_t util_inet_checksum_continue(uint32_t previous, const void *data, int len);

// Unaligned big-endian wire fields.
inline uint16_t be16_get(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

inline uint32_t be32_get(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline uint64_t be64_get(const uint8_t *p)
{
    return uint64_t(be32_get(p)) << 32 | be32_get(p + 4);
}

inline uint8_t *be16_put(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
    return p + 2;
}

inline uint8_t *be32_put(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
    return p + 4;
}
