// lookup3 as published. The word and half-word paths of hashlittle read aligned keys in wide
// loads as the original does; the loads go through memcpy so that they are well-defined C++,
// and they only run where the host is little-endian (elsewhere every key is read by bytes,
// which gives the same values).
#include "core/lookup3.h"

#include <bit>
#include <cstring>

// The layout below follows the published code, case by case.
// clang-format off
namespace {

constexpr bool little_host = std::endian::native == std::endian::little;

inline uint32_t rot(uint32_t x, int k)
{
    return (x << k) | (x >> (32 - k));
}

inline void mix(uint32_t &a, uint32_t &b, uint32_t &c)
{
    a -= c; a ^= rot(c, 4);  c += b;
    b -= a; b ^= rot(a, 6);  a += c;
    c -= b; c ^= rot(b, 8);  b += a;
    a -= c; a ^= rot(c, 16); c += b;
    b -= a; b ^= rot(a, 19); a += c;
    c -= b; c ^= rot(b, 4);  b += a;
}

inline void final(uint32_t &a, uint32_t &b, uint32_t &c)
{
    c ^= b; c -= rot(b, 14);
    a ^= c; a -= rot(c, 11);
    b ^= a; b -= rot(a, 25);
    c ^= b; c -= rot(b, 16);
    a ^= c; a -= rot(c, 4);
    b ^= a; b -= rot(a, 14);
    c ^= b; c -= rot(b, 24);
}

inline uint32_t w32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

inline uint32_t w16(const uint8_t *p)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

// The body shared by hashlittle and hashlittle2: a, b, c are already initialised.
// Returns false when the key was empty (no final step).
bool little_body(const uint8_t *k, size_t length, uint32_t &a, uint32_t &b, uint32_t &c)
{
    auto addr = reinterpret_cast<uintptr_t>(k);
    if (little_host && (addr & 0x3) == 0) {
        while (length > 12) {
            a += w32(k);
            b += w32(k + 4);
            c += w32(k + 8);
            mix(a, b, c);
            length -= 12;
            k += 12;
        }
        switch (length) {
        case 12: c += w32(k + 8); b += w32(k + 4); a += w32(k); break;
        case 11: c += uint32_t(k[10]) << 16; [[fallthrough]];
        case 10: c += uint32_t(k[9]) << 8; [[fallthrough]];
        case 9: c += k[8]; [[fallthrough]];
        case 8: b += w32(k + 4); a += w32(k); break;
        case 7: b += uint32_t(k[6]) << 16; [[fallthrough]];
        case 6: b += uint32_t(k[5]) << 8; [[fallthrough]];
        case 5: b += k[4]; [[fallthrough]];
        case 4: a += w32(k); break;
        case 3: a += uint32_t(k[2]) << 16; [[fallthrough]];
        case 2: a += uint32_t(k[1]) << 8; [[fallthrough]];
        case 1: a += k[0]; break;
        case 0: return false;
        }
    } else if (little_host && (addr & 0x1) == 0) {
        while (length > 12) {
            a += w16(k) + (w16(k + 2) << 16);
            b += w16(k + 4) + (w16(k + 6) << 16);
            c += w16(k + 8) + (w16(k + 10) << 16);
            mix(a, b, c);
            length -= 12;
            k += 12;
        }
        switch (length) {
        case 12:
            c += w16(k + 8) + (w16(k + 10) << 16);
            b += w16(k + 4) + (w16(k + 6) << 16);
            a += w16(k) + (w16(k + 2) << 16);
            break;
        case 11: c += uint32_t(k[10]) << 16; [[fallthrough]];
        case 10:
            c += w16(k + 8);
            b += w16(k + 4) + (w16(k + 6) << 16);
            a += w16(k) + (w16(k + 2) << 16);
            break;
        case 9: c += k[8]; [[fallthrough]];
        case 8:
            b += w16(k + 4) + (w16(k + 6) << 16);
            a += w16(k) + (w16(k + 2) << 16);
            break;
        case 7: b += uint32_t(k[6]) << 16; [[fallthrough]];
        case 6:
            b += w16(k + 4);
            a += w16(k) + (w16(k + 2) << 16);
            break;
        case 5: b += k[4]; [[fallthrough]];
        case 4: a += w16(k) + (w16(k + 2) << 16); break;
        case 3: a += uint32_t(k[2]) << 16; [[fallthrough]];
        case 2: a += w16(k); break;
        case 1: a += k[0]; break;
        case 0: return false;
        }
    } else {
        while (length > 12) {
            a += k[0] + (uint32_t(k[1]) << 8) + (uint32_t(k[2]) << 16) + (uint32_t(k[3]) << 24);
            b += k[4] + (uint32_t(k[5]) << 8) + (uint32_t(k[6]) << 16) + (uint32_t(k[7]) << 24);
            c += k[8] + (uint32_t(k[9]) << 8) + (uint32_t(k[10]) << 16) + (uint32_t(k[11]) << 24);
            mix(a, b, c);
            length -= 12;
            k += 12;
        }
        switch (length) {
        case 12: c += uint32_t(k[11]) << 24; [[fallthrough]];
        case 11: c += uint32_t(k[10]) << 16; [[fallthrough]];
        case 10: c += uint32_t(k[9]) << 8; [[fallthrough]];
        case 9: c += k[8]; [[fallthrough]];
        case 8: b += uint32_t(k[7]) << 24; [[fallthrough]];
        case 7: b += uint32_t(k[6]) << 16; [[fallthrough]];
        case 6: b += uint32_t(k[5]) << 8; [[fallthrough]];
        case 5: b += k[4]; [[fallthrough]];
        case 4: a += uint32_t(k[3]) << 24; [[fallthrough]];
        case 3: a += uint32_t(k[2]) << 16; [[fallthrough]];
        case 2: a += uint32_t(k[1]) << 8; [[fallthrough]];
        case 1: a += k[0]; break;
        case 0: return false;
        }
    }
    final(a, b, c);
    return true;
}

void word_body(const uint32_t *k, size_t length, uint32_t &a, uint32_t &b, uint32_t &c)
{
    while (length > 3) {
        a += k[0];
        b += k[1];
        c += k[2];
        mix(a, b, c);
        length -= 3;
        k += 3;
    }
    switch (length) {
    case 3: c += k[2]; [[fallthrough]];
    case 2: b += k[1]; [[fallthrough]];
    case 1:
        a += k[0];
        final(a, b, c);
        break;
    case 0: break;
    }
}

} // namespace

uint32_t hashword(const uint32_t *k, size_t length, uint32_t initval)
{
    uint32_t a, b, c;
    a = b = c = 0xdeadbeef + (uint32_t(length) << 2) + initval;
    word_body(k, length, a, b, c);
    return c;
}

void hashword2(const uint32_t *k, size_t length, uint32_t *pc, uint32_t *pb)
{
    uint32_t a, b, c;
    a = b = c = 0xdeadbeef + uint32_t(length << 2) + *pc;
    c += *pb;
    word_body(k, length, a, b, c);
    *pc = c;
    *pb = b;
}

uint32_t hashlittle(const void *key, size_t length, uint32_t initval)
{
    uint32_t a, b, c;
    a = b = c = 0xdeadbeef + uint32_t(length) + initval;
    little_body(static_cast<const uint8_t *>(key), length, a, b, c);
    return c;
}

void hashlittle2(const void *key, size_t length, uint32_t *pc, uint32_t *pb)
{
    uint32_t a, b, c;
    a = b = c = 0xdeadbeef + uint32_t(length) + *pc;
    c += *pb;
    little_body(static_cast<const uint8_t *>(key), length, a, b, c);
    *pc = c;
    *pb = b;
}

uint32_t hashbig(const void *key, size_t length, uint32_t initval)
{
    uint32_t a, b, c;
    a = b = c = 0xdeadbeef + uint32_t(length) + initval;
    auto k = static_cast<const uint8_t *>(key);
    while (length > 12) {
        a += (uint32_t(k[0]) << 24) + (uint32_t(k[1]) << 16) + (uint32_t(k[2]) << 8) + k[3];
        b += (uint32_t(k[4]) << 24) + (uint32_t(k[5]) << 16) + (uint32_t(k[6]) << 8) + k[7];
        c += (uint32_t(k[8]) << 24) + (uint32_t(k[9]) << 16) + (uint32_t(k[10]) << 8) + k[11];
        mix(a, b, c);
        length -= 12;
        k += 12;
    }
    switch (length) {
    case 12: c += k[11]; [[fallthrough]];
    case 11: c += uint32_t(k[10]) << 8; [[fallthrough]];
    case 10: c += uint32_t(k[9]) << 16; [[fallthrough]];
    case 9: c += uint32_t(k[8]) << 24; [[fallthrough]];
    case 8: b += k[7]; [[fallthrough]];
    case 7: b += uint32_t(k[6]) << 8; [[fallthrough]];
    case 6: b += uint32_t(k[5]) << 16; [[fallthrough]];
    case 5: b += uint32_t(k[4]) << 24; [[fallthrough]];
    case 4: a += k[3]; [[fallthrough]];
    case 3: a += uint32_t(k[2]) << 8; [[fallthrough]];
    case 2: a += uint32_t(k[1]) << 16; [[fallthrough]];
    case 1: a += uint32_t(k[0]) << 24; break;
    case 0: return c;
    }
    final(a, b, c);
    return c;
}
// clang-format on
