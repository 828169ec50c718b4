#include "core/util.h"

#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/rand.h>
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
