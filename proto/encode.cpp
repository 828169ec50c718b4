// Wire encoding and the CRC-16/MODBUS trailer. The CRC table is a compile-time constant, so
// every thread reads a complete table without any initialisation step.
#include "proto/pkt.h"

#include "core/obj.h"
#include "core/tbl.h"
#include "core/util.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr uint16_t crc_poly = 0xA001; // 0x8005 bit-reversed

constexpr std::array<uint16_t, 256> crc_table = [] {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t r = 0;
        unsigned in = i;
        for (int bit = 0; bit < 8; bit++, in >>= 1)
            r = ((r ^ in) & 1) ? uint16_t(r >> 1 ^ crc_poly) : uint16_t(r >> 1);
        t[i] = r;
    }
    return t;
}();
static_assert(crc_table[1] == 0xC0C1 && crc_table[255] == 0x4040);

} // namespace

uint16_t pkt_crc16_modbus(const void *data, size_t length)
{
    uint16_t crc = 0xFFFF;
    if (length < 3)
        return crc;
    auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length - 2; i++)
        crc = uint16_t(crc >> 8 ^ crc_table[(crc ^ p[i]) & 0xFF]);
    return crc;
}

int pkt_buf_verify_crc(const pkt_buf *b)
{
    if (!b || !b->data || b->len < 2)
        return 0;
    size_t total = size_t(b->hdr) + b->len;
    return be16_get(b->data + total - 2) == pkt_crc16_modbus(b->data, total);
}

// Nothing to free: the table is constant. Kept for callers that release it at exit.
void pkt_crc16_table_free() {}

void tok_size_cb(void *token, void *len)
{
    auto *t = static_cast<const pkt_token *>(token);
    auto *n = static_cast<uint32_t *>(len);
    // Summed in full (saturating) so that an oversized packet shows as one instead of wrapping.
    uint32_t sum = *n + t->len + 4;
    *n = sum < *n ? UINT32_MAX : sum;
}

void tok_write_cb(void *token, void *buf)
{
    auto *t = static_cast<const pkt_token *>(token);
    auto *b = static_cast<pkt_buf *>(buf);
    // Tokens added after sizing do not fit the block; pkt_encode sees the cursor short of the end.
    size_t room = size_t(b->data + b->hdr + b->len - 2 - b->cur);
    if (size_t(t->len) + 4 > room)
        return;
    b->cur[0] = t->id;
    b->cur[1] = t->op;
    be16_put(b->cur + 2, t->len);
    if (t->len)
        memcpy(b->cur + 4, t->data, t->len);
    b->cur += 4 + t->len;
}

pkt_buf *pkt_encode(pkt_packet *p)
{
    if (!p)
        return nullptr;
    obj_guard lock(p);
    if (p->encoded)
        obj_release(p->encoded);
    p->encoded = nullptr;

    obj_ref<pkt_buf> b = obj_ref<pkt_buf>::adopt(pkt_buf_create(nullptr));
    if (!b)
        return nullptr;
    if (tbl_foreach(p->tokens, tok_size_cb, &b->len) != 0)
        return nullptr;
    size_t total = size_t(b->hdr) + b->len;
    if (total > PKT_MAX_SIZE)
        return nullptr;
    b->data = static_cast<uint8_t *>(calloc(1, total));
    if (!b->data)
        return nullptr;

    uint8_t *c = b->data;
    *c++ = p->marker;
    memcpy(c, p->id, sizeof p->id);
    c += sizeof p->id;
    *c++ = uint8_t(p->cmd);
    c = be32_put(c, b->len);
    b->cur = be16_put(c, p->mid);

    if (tbl_foreach(p->tokens, tok_write_cb, b.get()) != 0)
        return nullptr;
    if (b->cur != b->data + total - 2)
        return nullptr;
    b->csum = pkt_crc16_modbus(b->data, total);
    b->cur = be16_put(b->cur, b->csum);

    if (obj_retain(b.get()) == 0)
        return nullptr;
    p->encoded = b.get();
    return b.release();
}
