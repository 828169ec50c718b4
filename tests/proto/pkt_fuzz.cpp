// Fuzz target over the packet parser and the log lines of what it accepts.
//
// Each input is parsed as it came, without a request and against requests that do and do not
// match its header; then again with Len and the trailer repaired, so that mutations reach the
// token reader and the token printers instead of stopping at the checksum. A packet that parses
// must encode back to as many bytes, and to the same bytes when its tokens arrived in table order.
#include "proto/pkt.h"
#include "proto/pkt_log_private.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/tbl.h"
#include "core/util.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

using Packet = obj_ref<pkt_packet>;

void no_pause(unsigned) {}

uint8_t *copy_of(const uint8_t *data, size_t size)
{
    auto *raw = static_cast<uint8_t *>(malloc(size));
    if (raw && size)
        memcpy(raw, data, size);
    return raw;
}

void in_table_order(void *token, void *user)
{
    auto *next = static_cast<long *>(user);
    if (*next >= 0 && static_cast<pkt_token *>(token)->index == *next)
        ++*next;
    else
        *next = -1;
}

void check(pkt_packet *parsed, const uint8_t *data, size_t size)
{
    Packet p = Packet::adopt(parsed);
    if (!p)
        return;
    pkt_log(p.get());
    obj_ref<pkt_buf> b = obj_ref<pkt_buf>::adopt(pkt_encode(p.get()));
    if (!b || size_t(b->hdr) + b->len != size)
        abort();
    long next = 0;
    tbl_foreach(p->tokens, in_table_order, &next);
    if (next >= 0 && memcmp(b->data, data, size) != 0)
        abort();
}

void parse_all_ways(const uint8_t *data, size_t size)
{
    auto len = uint16_t(size);
    check(pkt_parse(nullptr, copy_of(data, size), len), data, size);

    Packet other = Packet::adopt(pkt_create());
    if (!other)
        return;
    check(pkt_parse(other.get(), copy_of(data, size), len), data, size);
    if (size < PKT_HDR_SIZE)
        return;
    Packet same = Packet::adopt(pkt_create());
    if (!same)
        return;
    same->marker = data[0];
    memcpy(same->id, data + 1, sizeof same->id);
    same->mid = be16_get(data + 14);
    check(pkt_parse(same.get(), copy_of(data, size), len), data, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = [] {
        pkt_log_set_pause(no_pause);
        log_open("/dev/null");
        return true;
    }();
    (void)ready;
    // The stream reader never hands on more than a 16-bit count.
    if (size > PKT_MAX_SIZE)
        return 0;
    parse_all_ways(data, size);

    if (size < PKT_HDR_SIZE + 2)
        return 0;
    std::vector<uint8_t> fixed(data, data + size);
    uint32_t len = uint32_t(size) - PKT_HDR_SIZE;
    for (int i = 0; i < 4; i++)
        fixed[10 + i] = uint8_t(len >> (24 - 8 * i));
    uint16_t crc = pkt_crc16_modbus(fixed.data(), size);
    fixed[size - 2] = uint8_t(crc >> 8);
    fixed[size - 1] = uint8_t(crc);
    parse_all_ways(fixed.data(), size);
    return 0;
}
