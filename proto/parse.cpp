// Parser of received packets. Every field is checked against the byte count before it is read;
// the received block becomes the packet's encoded form, so nothing is copied but the payloads.
#include "proto/pkt.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/tbl.h"
#include "core/util.h"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr uint16_t min_packet = PKT_HDR_SIZE + 2;

// Reads the tokens between the header and the trailer; false on an overrun or when a token
// cannot be stored.
bool read_tokens(pkt_packet *p, pkt_buf *b)
{
    uint32_t left = b->len - 2;
    while (left > 0) {
        if (left < 4) {
            log_message("Token Overrun\n");
            return false;
        }
        uint8_t *h = b->cur;
        uint16_t len = be16_get(h + 2);
        if (uint32_t(len) + 4 > left) {
            log_message("Token Overrun\n");
            return false;
        }
        if (!pkt_add_token(p, h[0], h[1], h + 4, len))
            return false;
        b->cur += 4 + len;
        left -= 4 + len;
    }
    return true;
}

} // namespace

pkt_packet *pkt_parse(const pkt_packet *request, uint8_t *raw, uint16_t length)
{
    if (!raw)
        length = 0;
    if (request && length > 0 && raw[0] != request->marker) {
        free(raw);
        return nullptr;
    }
    obj_ref<pkt_packet> p = obj_ref<pkt_packet>::adopt(pkt_create());
    if (!p) {
        free(raw);
        return nullptr;
    }
    p->encoded = pkt_buf_create(raw);
    if (!p->encoded)
        return nullptr;
    pkt_buf *b = p->encoded;

    if (length < min_packet) {
        log_message("Packet To short\n");
        return nullptr;
    }
    p->marker = raw[0];
    memcpy(p->id, raw + 1, sizeof p->id);
    p->cmd = int8_t(raw[9]);
    b->len = be32_get(raw + 10);
    p->mid = be16_get(raw + 14);
    b->cur = raw + PKT_HDR_SIZE;

    if (request && (p->mid != request->mid || memcmp(p->id, request->id, sizeof p->id) != 0))
        return nullptr;

    // In 64 bits: a Len near 2^32 must not wrap onto the byte count.
    if (uint64_t(b->hdr) + b->len != length || !pkt_buf_verify_crc(b)) {
        log_message("Packet Wrong Len/Verify %i %i\n", int((b->hdr + b->len) & 0xFFFF),
                    int(length));
        return nullptr;
    }
    if (!read_tokens(p.get(), b))
        return nullptr;
    b->csum = be16_get(b->cur);
    b->cur += 2;

    if (tbl_count(p->tokens) == 0) {
        obj_release(p->tokens);
        p->tokens = nullptr;
    }
    return p.release();
}
