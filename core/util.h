// Small stateless helpers: random numbers, byte order, texts, time values, files, and the
// Internet checksum. Safe from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>
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
// Files in folders that other users may write to (the log's /tmp, the lock's /run/lock): the
// process runs as root there, so what others put in such a folder must neither get its lines nor
// be written, emptied or removed through a link. A folder is shared when a user besides this
// process's own (or root) may make entries in it. Folders are reached without following a
// symbolic link that sits in a shared folder. Every call sets errno when it fails.
//
// A descriptor (O_PATH) of the folder that holds path's last part, and that part at *name (a
// place inside path); -1 when the folder cannot be reached or path names no entry in it.
int util_dir_open(const char *path, const char **name);
// A regular file of this process's own user with a single link: neither a file that someone
// else made nor a second name of another file. The only file it takes for its lock.
[[nodiscard]] bool util_file_of_ours(const struct stat &st);
[[nodiscard]] bool util_same_file(const struct stat &a, const struct stat &b);
[[nodiscard]] bool util_dir_shared(int dir);
// In folder dir, a fresh file (name, a dot and six random letters or digits; mode less the
// umask) that already holds content (none when null) takes the entry name, so that no racing
// creator finds a moment in which the entry is missing, and no reader one in which it is empty.
// Nothing is written through what stood there, and a directory there stays whole under the
// fresh name. Without held, in one rename: a file, link, fifo or socket there is replaced.
// With held, only where nobody holds the entry, as an exclusive create would: a missing entry is
// taken in one rename that replaces nothing, and anything there is swapped with the file. A
// file of this process's user with a single link that held (given it open for reading) says is
// in use is swapped back and left as it was, and the call fails with EALREADY; anything else
// that came out goes. A filesystem that cannot do these renames gets the way without held. The
// file, open for writing behind its content, or -1.
int util_replace_with_fresh(int dir, const char *name, mode_t mode, const char *content,
                            bool (*held)(int fd));
// fopen with "r", or with "w" when write is set, of this process's own file: a regular file of
// the effective user with a single link that neither group nor others may write. Reading
// anything else gives null, as a missing file does. Writing, in a shared folder, always ends
// with such a file at the path, emptied: a fresh one (mode 0644 less the umask) put there by
// util_replace_with_fresh. In any other folder nothing is replaced, and anything but the own
// file gives null. The own file is emptied in place, once checked.
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
