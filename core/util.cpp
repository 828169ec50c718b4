#include "core/util.h"

#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

void util_seed_random()
{
    int fd = open("/dev/random", O_RDONLY);
    if (fd < 0)
        return;
    unsigned char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        RAND_seed(buf, int(n));
    close(fd);
}

int util_random_bytes(void *buf, int len)
{
    return RAND_bytes(static_cast<unsigned char *>(buf), len);
}

uint64_t util_hton64(uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        return __builtin_bswap64(v);
    else
        return v;
}

uint64_t util_ntoh64(uint64_t v)
{
    return util_hton64(v);
}

int util_print_text(const char *text)
{
    return printf("%s", text);
}

int util_str_is_empty(const char *s)
{
    return !s || s[0] == '\0';
}

static bool is_space(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

char *util_str_skip_space(char *s)
{
    while (*s && is_space(*s))
        s++;
    return s;
}

void util_str_trim_trailing(char *s)
{
    size_t n = strlen(s);
    // The first character is never cut.
    while (n > 1 && is_space(s[n - 1]))
        s[--n] = '\0';
}

char *util_str_ltrim(char *s)
{
    return util_str_is_empty(s) ? s : util_str_skip_space(s);
}

char *util_str_rtrim(char *s)
{
    if (!util_str_is_empty(s))
        util_str_trim_trailing(s);
    return s;
}

char *util_str_trim(char *s)
{
    if (util_str_is_empty(s))
        return s;
    char *p = util_str_skip_space(s);
    if (*p)
        util_str_trim_trailing(p);
    return p;
}

int util_str_is_ascii(const char *s)
{
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) & 0x80)
            return 0;
    return 1;
}

uint64_t util_tv_to_ntp(const struct timeval *t)
{
    auto secs = uint32_t(int64_t(t->tv_sec) + 2208988800LL);
    uint64_t shifted = uint64_t(secs) << 32;
    auto usec = uint32_t(t->tv_usec);
    return uint64_t(std::fma(double(usec), 4294.967296, double(shifted)));
}

int util_tv_sub(struct timeval *out, const struct timeval *x, const struct timeval *y)
{
    // out may be x or y: read both before anything is written.
    const int64_t xs = x->tv_sec, xu = x->tv_usec;
    int64_t ys = y->tv_sec, yu = y->tv_usec;
    const int ret = xs < ys ? 1 : 0;
    if (xu < yu) {
        auto n = int32_t((yu - xu) / 1000000 + 1);
        yu -= int32_t(1000000 * n);
        ys += n;
    }
    if (xu - yu > 1000000) {
        auto n = int32_t((xu - yu) / 1000000);
        yu += int32_t(1000000 * n);
        ys -= n;
    }
    out->tv_sec = xs - ys;
    out->tv_usec = xu - yu;
    return ret;
}

int util_file_create_owned(const char *path, uid_t uid, gid_t gid)
{
    int fd = creat(path, 0600);
    if (fd >= 0)
        close(fd);
    return chown(path, uid, gid);
}

namespace
{

// The only file this process writes or shows in a folder open to every user: a regular file of
// its own user with a single link, so that it is neither a file that someone else made (and may
// hold open) nor a second name of another file.
bool own_file(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Every open is non-blocking, so that a fifo put in place between the look and the open cannot
// stall it; by now the file is known to be regular.
FILE *stream_of(int fd, const char *mode)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}

// Whether users besides this process's own may make entries in path's folder, so that what
// stands at the path may be a plant. Elsewhere the operator alone put it there (-l /dev/null,
// say): it is never removed, and anything but the own file there gives no stream.
bool folder_shared(const char *path)
{
    char folder[PATH_MAX];
    const char *slash = strrchr(path, '/');
    size_t n = !slash ? 0 : slash == path ? 1 : size_t(slash - path);
    if (n >= sizeof folder)
        return false; // too long to be opened at all
    memcpy(folder, n ? path : ".", n ? n : 1);
    folder[n ? n : 1] = '\0';
    struct stat st;
    if (stat(folder, &st) != 0)
        return false; // nothing can be made there either
    return (st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_uid != geteuid() && st.st_uid != 0);
}

int open_own_for_writing(const char *path)
{
    constexpr int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    // A second round when the entry changed between the look and the open.
    for (int round = 0; round < 2; round++) {
        struct stat seen;
        bool there = lstat(path, &seen) == 0;
        if (!there && errno != ENOENT)
            return -1;
        // Only the entry goes, never what a link names.
        if (there && !own_file(seen)) {
            if (!folder_shared(path))
                return -1;
            if (unlink(path) != 0 && errno != ENOENT)
                return -1;
            there = false;
        }
        int fd = there ? open(path, flags) : open(path, flags | O_CREAT | O_EXCL, 0666);
        if (fd < 0)
            continue;
        if (!there)
            return fd;
        // Checked before it is emptied: truncation is the one step that cannot be undone.
        struct stat st;
        if (fstat(fd, &st) == 0 && own_file(st) && same_file(st, seen) && ftruncate(fd, 0) == 0)
            return fd;
        close(fd);
    }
    return -1;
}

} // namespace

FILE *util_fopen_own(const char *path, bool write)
{
    if (write) {
        int fd = open_own_for_writing(path);
        return fd < 0 ? nullptr : stream_of(fd, "w");
    }
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !own_file(st)) {
        close(fd);
        return nullptr;
    }
    return stream_of(fd, "r");
}
