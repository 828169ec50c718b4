// RFC 1071 Internet checksum: 32-bit host-order words summed into 64 bits, folded at the end.
#include "core/util.h"

#include <cstdio>
#include <cstring>

uint32_t util_inet_checksum(const void *data, int len, uint32_t init)
{
    auto p = static_cast<const uint8_t *>(data);
    uint64_t sum = 0;
    for (; len >= 4; len -= 4, p += 4) {
        uint32_t w;
        memcpy(&w, p, 4);
        sum += w;
    }
    if (len >= 2) {
        uint16_t w;
        memcpy(&w, p, 2);
        sum += w;
        len -= 2;
        p += 2;
    }
    if (len == 1) {
        printf("L %i %p %hhX\n", len, static_cast<const void *>(p), *p);
        sum += *p;
    }
    sum += init & 0xffff;
    while (sum >> 16)
        sum = (sum >> 16) + (sum & 0xffff);
    return ~uint32_t(sum);
}

uint32_t util_inet_checksum_buf(const void *data, int len)
{
    return util_inet_checksum(data, len, 0);
}

uint32_t util_inet_checksum_seeded(const void *data, int len, uint32_t init)
{
    return util_inet_checksum(data, len, init);
}

uint32_t util_inet_checksum_continue(uint32_t previous, const void *data, int len)
{
    return util_inet_checksum(data, len, ~(previous & 0xffff));
}
