// Helpers shared by the packet sources, not part of their interface: big-endian reads and
// writes of unaligned wire fields, and the making of one token.
#pragma once

#include <cstdint>

struct pkt_token;

// A token with a copy of len bytes of data and a NUL behind them; null when either allocation
// fails, so that no token ever exists without its data.
pkt_token *tok_create(uint8_t id, uint8_t op, const void *data, uint16_t len, uint16_t index);

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
