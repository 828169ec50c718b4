// Packet, token and buffer records. The packet owns its token table and its encoded buffer; the
// table holds the only reference to each token.
#include "proto/pkt.h"
#include "proto/pkt_impl.h"

#include "core/obj.h"
#include "core/tbl.h"
#include "core/util.h"

#include <cstdlib>
#include <cstring>

// The index is 16 bits wide: one more token would reuse the key of the first.
static constexpr int32_t max_tokens = 65536;

pkt_packet *pkt_create()
{
    auto *p = static_cast<pkt_packet *>(obj_alloc(sizeof(pkt_packet), pkt_destroy));
    if (p) {
        p->marker = PKT_MARKER;
        p->tokens = tbl_create(0, tok_key_cb);
        // A packet without its table would silently go out without the tokens added to it.
        if (!p->tokens) {
            obj_release(p);
            p = nullptr;
        }
    }
    if (!p)
        util_print_text("Failed to allocate memory for packet");
    return p;
}

void pkt_destroy(void *obj)
{
    auto *p = static_cast<pkt_packet *>(obj);
    if (p->tokens)
        obj_release(p->tokens);
    p->tokens = nullptr;
    if (p->encoded)
        obj_release(p->encoded);
    p->encoded = nullptr;
}

pkt_token *tok_create(uint8_t id, uint8_t op, const void *data, uint16_t len, uint16_t index)
{
    if (len && !data)
        return nullptr;
    auto *t = static_cast<pkt_token *>(obj_alloc(sizeof(pkt_token), tok_destroy));
    if (!t)
        return nullptr;
    t->data = static_cast<uint8_t *>(malloc(size_t(len) + 1));
    if (!t->data) {
        obj_release(t);
        return nullptr;
    }
    if (len)
        memcpy(t->data, data, len);
    t->data[len] = '\0';
    t->id = id;
    t->op = op;
    t->len = len;
    t->index = index;
    return t;
}

int pkt_add_token(pkt_packet *p, uint8_t id, uint8_t op, const void *data, uint16_t len)
{
    if (!p || !p->tokens)
        return 0;
    int32_t count = tbl_count(p->tokens);
    if (count < 0 || count >= max_tokens)
        return 0;
    pkt_token *t = tok_create(id, op, data, len, uint16_t(count));
    if (!t)
        return 0;
    int added = tbl_add(p->tokens, t);
    obj_release(t);
    return added;
}

void tok_destroy(void *obj)
{
    auto *t = static_cast<pkt_token *>(obj);
    free(t->data);
    t->data = nullptr;
}

uint32_t tok_key_cb(const void *obj, int is_key)
{
    if (is_key)
        return *static_cast<const uint32_t *>(obj);
    auto *t = static_cast<const pkt_token *>(obj);
    return uint32_t(t->id) << 24 | t->index;
}

pkt_token *tok_create_empty()
{
    return static_cast<pkt_token *>(obj_alloc(sizeof(pkt_token), tok_destroy));
}

pkt_buf *pkt_buf_create(uint8_t *raw)
{
    auto *b = static_cast<pkt_buf *>(obj_alloc(sizeof(pkt_buf), pkt_buf_destroy));
    if (!b) {
        free(raw);
        return nullptr;
    }
    b->data = raw;
    b->cur = raw;
    b->len = 2;
    b->hdr = PKT_HDR_SIZE;
    return b;
}

void pkt_buf_destroy(void *obj)
{
    auto *b = static_cast<pkt_buf *>(obj);
    free(b->data);
    b->data = nullptr;
    b->cur = nullptr;
}

pkt_box *pkt_box_create(void *ptr)
{
    auto *b = static_cast<pkt_box *>(obj_alloc(sizeof(pkt_box), nullptr));
    if (b)
        b->p = ptr;
    return b;
}
