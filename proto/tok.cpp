// Typed token builders. Payloads are assembled on the builder's stack in a buffer of the
// builder's own size; a field that would not fit (or a missing text) spoils the payload, and a
// spoiled payload is never added.
#include "proto/tok.h"

#include "proto/pkt_impl.h"
#include "proto/tok_wire.h"

#include "core/clk.h"
#include "core/obj.h"
#include "core/util.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr uint8_t comma = ',';

// Where a field goes: at at, or behind a comma written at the cursor.
uint8_t *field_start(uint8_t **cursor, uint8_t *at)
{
    if (at)
        return at;
    **cursor = comma;
    return *cursor + 1;
}

// A payload of at most N bytes under construction. Each field checks its room first.
template <size_t N>
struct payload {
    uint8_t buf[N];
    uint8_t *cur = buf;
    bool ok = true;
    bool started = false; // an empty first field still puts a comma before the second

    size_t size() const { return size_t(cur - buf); }
    // Room for a field of n bytes, behind a comma unless it is the first.
    uint8_t *room(size_t n)
    {
        bool first = !started;
        started = true;
        if (ok && size_t(buf + N - cur) < n + (first ? 0 : 1))
            ok = false;
        return ok && first ? buf : nullptr;
    }
    void text(const char *s)
    {
        if (!s) {
            ok = false;
            return;
        }
        size_t n = strlen(s);
        uint8_t *at = room(n);
        if (ok)
            tok_put_text(&cur, s, n, at);
    }
    template <class T>
    void number(void (*put)(uint8_t **, T, uint8_t *), T v)
    {
        uint8_t *at = room(sizeof(T));
        if (ok)
            put(&cur, v, at);
    }
    void u8(uint8_t v) { number(tok_put_u8, v); }
    void be16(uint16_t v) { number(tok_put_be16, v); }
    void be32(uint32_t v) { number(tok_put_be32, v); }
    void be64(uint64_t v) { number(tok_put_be64, v); }
    // A fixed field of a layout: the value must be exactly as wide as the field.
    template <tok_field F, class T>
    void field(T v)
    {
        static_assert(F.size == sizeof(T), "the value is not as wide as its field");
        if constexpr (sizeof(T) == 1)
            u8(v);
        else if constexpr (sizeof(T) == 2)
            be16(v);
        else if constexpr (sizeof(T) == 4)
            be32(v);
        else
            be64(v);
    }
    int add_to(pkt_packet *p, uint8_t id, uint8_t op) const
    {
        return ok && p ? pkt_add_token(p, id, op, buf, uint16_t(size())) : 0;
    }
};

// The 12-character local-time date of when; empty when the time cannot be converted.
struct date_of {
    char s[TOK_DATE_LEN + 1];
    explicit date_of(time_t when)
    {
        struct tm tm;
        if (!localtime_r(&when, &tm) || strftime(s, sizeof s, "%y%m%d%H%M%S", &tm) == 0)
            s[0] = '\0';
    }
};

} // namespace

uint8_t *tok_put_text(uint8_t **cursor, const void *bytes, size_t length, uint8_t *at)
{
    uint8_t *dst = field_start(cursor, at);
    if (length)
        memcpy(dst, bytes, length);
    *cursor = dst + length;
    return dst;
}

void tok_put_be32(uint8_t **cursor, uint32_t value, uint8_t *at)
{
    *cursor = be32_put(field_start(cursor, at), value);
}

void tok_put_be64(uint8_t **cursor, uint64_t value, uint8_t *at)
{
    uint8_t *dst = field_start(cursor, at);
    uint64_t be = util_hton64(value);
    memcpy(dst, &be, sizeof be);
    *cursor = dst + sizeof be;
}

void tok_put_be16(uint8_t **cursor, uint16_t value, uint8_t *at)
{
    *cursor = be16_put(field_start(cursor, at), value);
}

void tok_put_u8(uint8_t **cursor, uint8_t value, uint8_t *at)
{
    uint8_t *dst = field_start(cursor, at);
    *dst = value;
    *cursor = dst + 1;
}

int pkt_add_code_text(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code, const char *text)
{
    payload<512> pl;
    pl.field<tok_code_text_layout::code>(code);
    pl.text(text);
    return pl.add_to(p, id, op);
}

int pkt_add_code_text_opt(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code, const char *text)
{
    return text ? pkt_add_code_text(p, id, op, code, text) : 0;
}

int pkt_add_code_text_num(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code, const char *text,
                          uint32_t n)
{
    payload<128> pl;
    pl.field<tok_code_text_layout::code>(code);
    pl.text(text);
    pl.be32(n);
    return pl.add_to(p, id, op);
}

void pkt_add_status(pkt_packet *p, uint8_t code, int ok)
{
    pkt_add_code_text(p, TOK_REPORT, TOK_REPORT_OP, code, ok ? "OK" : "ERROR");
}

void pkt_add_id_text(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code)
{
    if (!p)
        return;
    uint64_t raw;
    memcpy(&raw, p->id, sizeof raw);
    char text[32];
    snprintf(text, sizeof text, "%016lX", (unsigned long)util_ntoh64(raw));
    pkt_add_code_text(p, id, op, code, text);
}

void pkt_add_process_record(pkt_packet *p, const char *date, const pkt_process_info *info)
{
    if (!info)
        return;
    using L = tok_process_record_layout;
    payload<128> pl;
    pl.text(date);
    pl.field<L::pid>(uint64_t(info->pid));
    pl.field<L::gid>(uint64_t(info->gid));
    pl.field<L::uid>(uint64_t(info->uid));
    pl.field<L::cred>(info->cred);
    if (info->text)
        pl.text(info->text);
    (void)pl.add_to(p, TOK_PROCESS_RECORD, TOK_RECORD_OP);
}

void pkt_add_remainder(pkt_packet *p, uint64_t uid, uint32_t remainder)
{
    using L = tok_remainder_layout;
    payload<128> pl;
    pl.field<L::uid>(uid);
    pl.field<L::masked>(uint32_t(remainder & 0xF0FFFFFF));
    pl.field<L::remainder>(remainder);
    (void)pl.add_to(p, TOK_REMAINDER, TOK_RECORD_OP);
}

void pkt_add_dated_pair(pkt_packet *p, time_t when, uint16_t a, uint16_t b)
{
    using L = tok_dated_pair_layout;
    payload<128> pl;
    pl.text(date_of(when).s);
    pl.field<L::a>(a);
    pl.field<L::b>(b);
    (void)pl.add_to(p, TOK_DATED_PAIR, TOK_RECORD_OP);
}

void pkt_add_dated_counters(pkt_packet *p, const char *date, uint64_t a, uint64_t b, uint16_t c,
                            uint16_t d, uint16_t e)
{
    payload<128> pl;
    pl.text(date);
    pl.be64(a);
    pl.be64(b);
    pl.be16(c);
    pl.be16(d);
    pl.be16(e);
    (void)pl.add_to(p, TOK_DATED_COUNTERS, TOK_RECORD_OP);
}

void pkt_add_secret(pkt_packet *p, const char *date, uint16_t cid, const char *text)
{
    payload<128> pl;
    pl.text(date);
    pl.field<tok_secret_layout::cid>(cid);
    pl.text(text);
    (void)pl.add_to(p, TOK_SECRET, TOK_RECORD_OP);
}

void pkt_add_call(pkt_packet *p, uint64_t uid, const char *tel, uint16_t calltime, time_t when)
{
    payload<128> pl;
    pl.field<tok_call_layout::uid>(uid);
    pl.text(tel);
    pl.be16(calltime);
    pl.text(date_of(when).s);
    (void)pl.add_to(p, TOK_CALL, TOK_RECORD_OP);
}

void pkt_add_number_text(pkt_packet *p, const char *number, const char *text)
{
    payload<200> pl;
    pl.text(number);
    pl.text(text);
    (void)pl.add_to(p, TOK_NUMBER_TEXT, TOK_RECORD_OP);
}

void pkt_add_call_token(pkt_packet *p, const char *token, const char *text, uint16_t n)
{
    char digits[5]; // the field is at most 4 digits wide
    snprintf(digits, sizeof digits, "%hu", n);
    payload<200> pl;
    pl.text(token);
    pl.text(text);
    pl.text(digits);
    (void)pl.add_to(p, TOK_CALL_TOKEN, TOK_RECORD_OP);
}

void pkt_add_number_text_uid(pkt_packet *p, const char *number, const char *text, uint64_t uid,
                             time_t when)
{
    payload<200> pl;
    pl.text(number);
    pl.text(text);
    pl.be64(uid);
    pl.text(date_of(when).s);
    (void)pl.add_to(p, TOK_NUMBER_TEXT_UID, TOK_RECORD_OP);
}

void pkt_add_decimal(pkt_packet *p, uint8_t id, uint8_t op, int code, pkt_decimal *decimal)
{
    if (!decimal)
        return;
    // Formatted in full first: a value whose text would not fit its 7 characters is refused
    // rather than sent cut short (and so wrong).
    char text[32];
    pkt_decimal_format(decimal, text, sizeof text);
    obj_release(decimal);
    if (strlen(text) > 7)
        return;
    pkt_add_code_text(p, id, op, uint8_t(code), text);
}

pkt_token *tok_create_descriptor(const char *s1, const char *s2, const char *s3, const char *s4,
                                 int a, int b, const char *s5, const char *s6)
{
    char na[4], nb[4];
    snprintf(na, sizeof na, "%i", int(uint8_t(a)));
    snprintf(nb, sizeof nb, "%i", int(uint8_t(b)));
    payload<320> pl;
    for (const char *s :
         {s1, s2, s3, s4, static_cast<const char *>(na), static_cast<const char *>(nb), s5, s6})
        pl.text(s);
    return pl.ok ? tok_create(TOK_DESCRIPTOR, TOK_RECORD_OP, pl.buf, uint16_t(pl.size()), 0)
                 : nullptr;
}

pkt_decimal *pkt_decimal_create(int units, int thousandths)
{
    auto *d = static_cast<pkt_decimal *>(obj_alloc(sizeof(pkt_decimal), nullptr));
    if (!d)
        return nullptr;
    d->sign = units < 0 || thousandths < 0 ? -1 : 1;
    d->units = int16_t(std::abs(units));
    d->thousandths = uint16_t(std::abs(thousandths));
    return d;
}

float pkt_decimal_format(const pkt_decimal *d, char *buf, size_t size)
{
    if (!d) {
        if (size)
            buf[0] = '\0';
        return 0;
    }
    // The units are a magnitude: read unsigned, 32768 stays positive.
    double tenths = std::round((d->thousandths / 1000.0 + uint16_t(d->units)) * 10);
    auto v = float(d->sign * tenths / 10);
    snprintf(buf, size, "%0.1f", double(v));
    return v;
}

char *pkt_format_date_now(char *buf, size_t size)
{
    date_of now(clk_now());
    if (size)
        snprintf(buf, size, "%s", now.s);
    return buf;
}
