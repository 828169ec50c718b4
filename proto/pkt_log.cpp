// Log lines of packets and tokens. The dump reads the encoded buffer through a reference of its
// own, taken under the packet's lock, because another thread may encode the packet anew (and
// drop the old buffer) while this one is still logging.
//
// The token printers read only inside the payload: a record whose fixed fields lie past its end
// prints no line; a field found by a comma search that is not there prints as empty text, and a
// number without all its bytes as 0. Every text a printer prints comes from the wire, so it is
// printed with its controls made visible: a received text must not end the line and forge the
// next one, nor drive the terminal of whoever reads the log. A text that cannot be made so for
// want of memory gives no line rather than its raw bytes.
#include "proto/pkt.h"
#include "proto/tok_wire.h"

#include "proto/pkt_log_private.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/tbl.h"
#include "core/text.h"
#include "core/util.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

void real_pause(unsigned ms)
{
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

std::atomic<pkt_pause_fn> pause_fn{real_pause};

void pause_100ms()
{
    pause_fn.load(std::memory_order_relaxed)(100);
}

constexpr unsigned dump_bytes_per_line = 32;

// A token's payload with the position searches its printers need. Texts run to the payload's
// NUL terminator, so a text from an offset inside the payload never reads past it.
struct payload {
    const uint8_t *p;
    size_t n;

    explicit payload(const pkt_token *t) : p(t->data), n(t->data ? t->len : 0) {}
    bool has(size_t off, size_t size) const { return off + size <= n; }
    bool has(tok_field f) const { return has(f.off, f.size); }
    const char *text(size_t off) const
    {
        return off < n ? reinterpret_cast<const char *>(p + off) : "";
    }
    // Position of the first or last comma in [from, n), or n when there is none.
    size_t first_comma(size_t from) const
    {
        for (size_t i = from; i < n; i++)
            if (p[i] == ',')
                return i;
        return n;
    }
    size_t last_comma(size_t from) const
    {
        for (size_t i = n; i > from; i--)
            if (p[i - 1] == ',')
                return i - 1;
        return n;
    }
    uint16_t u16_or_0(size_t off) const { return has(off, 2) ? be16_get(p + off) : 0; }
    uint32_t u32_or_0(size_t off) const { return has(off, 4) ? be32_get(p + off) : 0; }
    uint64_t u64_or_0(size_t off) const { return has(off, 8) ? be64_get(p + off) : 0; }
    // Fixed fields, for a payload already known to hold them.
    uint16_t u16(tok_field f) const { return be16_get(p + f.off); }
    uint32_t u32(tok_field f) const { return be32_get(p + f.off); }
    uint64_t u64(tok_field f) const { return be64_get(p + f.off); }
};

// A NUL-terminated copy of the payload, cut into texts by writing NULs over its commas.
struct work_copy {
    char *s;
    explicit work_copy(const payload &pl) : s(static_cast<char *>(malloc(pl.n + 1)))
    {
        if (s) {
            if (pl.n)
                memcpy(s, pl.p, pl.n);
            s[pl.n] = '\0';
        }
    }
    ~work_copy() { free(s); }
    work_copy(const work_copy &) = delete;
    work_copy &operator=(const work_copy &) = delete;
};

// The date at the start of a record.
struct date_text {
    char s[TOK_DATE_LEN + 1];
    explicit date_text(const payload &pl)
    {
        memcpy(s, pl.p + TOK_DATE_FIELD.off, TOK_DATE_LEN);
        s[TOK_DATE_LEN] = '\0';
    }
};

// The texts of one line with their controls made visible, in one block; false when it could
// not be had.
template <size_t N>
struct shown_texts {
    char *block = nullptr;
    const char *s[N] = {};

    template <typename... T>
    explicit shown_texts(T... texts)
    {
        const char *in[N] = {texts...};
        size_t n = 0;
        for (const char *t : in)
            n += util_safe_text_length(t, false) + 1;
        block = static_cast<char *>(malloc(n));
        if (!block)
            return;
        char *at = block;
        for (size_t i = 0; i < N; i++) {
            s[i] = at;
            at = util_safe_text(at, in[i], false) + 1;
        }
    }
    ~shown_texts() { free(block); }
    shown_texts(const shown_texts &) = delete;
    shown_texts &operator=(const shown_texts &) = delete;
    explicit operator bool() const { return block != nullptr; }
};

template <typename... T>
shown_texts(T...) -> shown_texts<sizeof...(T)>;

void log_token(const pkt_token *t)
{
    payload pl(t);
    auto id = int8_t(t->id);
    auto op = int8_t(t->op);
    auto len = int16_t(t->len);

    switch (t->id) {
    case TOK_TEXT_A:
    case TOK_TEXT_B:
    case TOK_TEXT_C: {
        shown_texts shown(pl.text(0));
        if (shown)
            log_message("ID %hhi OP %hhi L: %hi PL: %s\n", id, op, len, shown.s[0]);
        break;
    }
    case TOK_PROCESS_RECORD: {
        using L = tok_process_record_layout;
        if (!pl.has(L::cred))
            break;
        shown_texts shown(date_text(pl).s);
        if (shown)
            log_message("ID %hhi OP %hhi L: %hi PL: Date:%s PID:%lli GID:%lli UID:%lli CRED:%i\n",
                        id, op, len, shown.s[0], (long long)pl.u64(L::pid),
                        (long long)pl.u64(L::gid), (long long)pl.u64(L::uid), int(pl.u16(L::cred)));
        break;
    }
    case TOK_SECRET: {
        using L = tok_secret_layout;
        if (!pl.has(L::cid))
            break;
        shown_texts shown(date_text(pl).s, pl.text(L::text));
        if (shown)
            log_message("ID %hhi OP %hhi L: %hi PL: Date:%s CID:%hi Secret:%s\n", id, op, len,
                        shown.s[0], int16_t(pl.u16(L::cid)), shown.s[1]);
        break;
    }
    case TOK_EVENT: {
        using L = tok_code_text_layout;
        if (pl.has(L::code)) {
            work_copy w(pl);
            if (!w.s)
                break;
            size_t c = pl.last_comma(L::text);
            uint32_t num = 0;
            if (c < pl.n) {
                w.s[c] = '\0';
                num = pl.u32_or_0(c + 1);
            }
            shown_texts shown(pl.n > L::text ? w.s + L::text : "");
            if (shown)
                log_message("ID %hhi OP %hhi L: %hi PL: %i,%s,%li\n", id, op, len,
                            int(pl.p[L::code.off]), shown.s[0], long(num));
        }
        break;
    }
    case TOK_INFO:
    case TOK_REPORT: {
        using L = tok_code_text_layout;
        if (!pl.has(L::code))
            break;
        shown_texts shown(pl.text(L::text));
        if (shown)
            log_message("ID %hhi OP %hhi L: %hi PL: %hhu,%s\n", id, op, len, pl.p[L::code.off],
                        shown.s[0]);
        break;
    }
    case TOK_CALL: {
        using L = tok_call_layout;
        if (pl.has(L::uid)) {
            work_copy w(pl);
            if (!w.s)
                break;
            size_t c = pl.first_comma(L::tel);
            uint16_t calltime = 0;
            if (c < pl.n) {
                w.s[c] = '\0';
                calltime = pl.u16_or_0(c + 1);
            }
            shown_texts shown(pl.n > L::tel ? w.s + L::tel : "");
            if (shown)
                log_message("ID %hhi OP %hhi L: %hi PL: UID:%lli TEL:%s CALLTIME:%i\n", id, op, len,
                            (long long)pl.u64(L::uid), shown.s[0], int(calltime));
        }
        break;
    }
    case TOK_NUMBER_TEXT_UID: {
        work_copy w(pl);
        if (!w.s)
            break;
        size_t f = pl.first_comma(0), l = pl.last_comma(0);
        const char *text = "";
        uint64_t uid = 0;
        if (f < pl.n) {
            w.s[f] = '\0';
            w.s[l] = '\0';
            if (l > f)
                text = w.s + f + 1;
            uid = pl.u64_or_0(l + 1);
        }
        shown_texts shown(w.s, text);
        if (shown)
            log_message("ID %hhi OP %hhi L: %hi Number: %s Text: %s UID %llu\n", id, op, len,
                        shown.s[0], shown.s[1], (unsigned long long)uid);
        break;
    }
    case TOK_NUMBER_TEXT: {
        work_copy w(pl);
        if (!w.s)
            break;
        size_t l = pl.last_comma(0);
        const char *text = "";
        if (l < pl.n) {
            w.s[l] = '\0';
            text = w.s + l + 1;
        }
        shown_texts shown(w.s, text);
        if (shown)
            log_message("ID %hhi OP %hhi L: %hi Number: %s Text: %s\n", id, op, len, shown.s[0],
                        shown.s[1]);
        break;
    }
    case TOK_BARE:
        log_message("ID %hhi OP %hhi\n", id, op);
        break;
    case TOK_REMAINDER: {
        using L = tok_remainder_layout;
        if (pl.has(L::remainder))
            log_message("UID:%lli OLD REM:%i NEW REM: %i\n", (long long)pl.u64(L::uid),
                        int(int32_t(pl.u32(L::masked))), int(int32_t(pl.u32(L::remainder))));
        break;
    }
    case TOK_DATED_PAIR: {
        using L = tok_dated_pair_layout;
        if (!pl.has(L::b))
            break;
        shown_texts shown(date_text(pl).s);
        if (shown)
            log_message("ID %hhi OP %hhi L: %hi PL: Date %s ID:%hu CMD: %hu\n", id, op, len,
                        shown.s[0], pl.u16(L::a), pl.u16(L::b));
        break;
    }
    default: // TOK_CALL_TOKEN, TOK_DESCRIPTOR, TOK_DATED_COUNTERS and unknown ids: no line
        break;
    }
}

} // namespace

pkt_pause_fn pkt_log_set_pause(pkt_pause_fn fn)
{
    return pause_fn.exchange(fn ? fn : real_pause);
}

void tok_log_cb(void *token, void * /*user*/)
{
    if (!token)
        return;
    log_token(static_cast<const pkt_token *>(token));
    pause_100ms();
}

void pkt_log(pkt_packet *p)
{
    if (!p)
        return;
    obj_ref<pkt_buf> b;
    {
        obj_guard lock(p);
        b = obj_ref<pkt_buf>::retain(p->encoded);
    }
    if (!b || !b->data)
        return;

    uint64_t id;
    memcpy(&id, p->id, sizeof id);
    log_message("H: %x ID: %016lX CMD: %hi Len: %hi MID: %04hX CSUM: %04hX\n", unsigned(p->marker),
                (unsigned long)util_ntoh64(id), int16_t(p->cmd), int16_t(b->len), p->mid, b->csum);
    pause_100ms();
    tbl_foreach(p->tokens, tok_log_cb, nullptr);

    static const char hex[] = "0123456789ABCDEF";
    auto total = uint16_t(b->hdr + b->len);
    char line[2 * dump_bytes_per_line + 1];
    for (unsigned at = 0; at < total; at += dump_bytes_per_line) {
        unsigned n = total - at < dump_bytes_per_line ? total - at : dump_bytes_per_line;
        for (unsigned i = 0; i < n; i++) {
            line[2 * i] = hex[b->data[at + i] >> 4];
            line[2 * i + 1] = hex[b->data[at + i] & 0xF];
        }
        line[2 * n] = '\0';
        log_message("%s\n", line);
        if (n < dump_bytes_per_line)
            pause_100ms();
    }
}
