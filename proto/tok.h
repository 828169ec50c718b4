// Typed token builders: payloads of comma-separated fields (the first without a comma), numbers
// as raw big-endian values or decimal text, dates as the 12-character local time "%y%m%d%H%M%S",
// texts without their NUL.
//
// Each builder assembles its payload in a fixed buffer of its own size (the largest payload it
// makes) and adds it with pkt_add_token. A payload that would not fit adds nothing (0 where the
// builder has a result). No state of their own; a builder touches only the packet's token table.
#pragma once

#include "proto/pkt.h"
#include "proto/tok_wire.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// Cursor writers: with at null they write a comma and the value at *cursor; with at given they
// write the value at at, without a comma. Either way *cursor ends just past the value. The
// caller makes sure the buffer has room.
uint8_t *tok_put_text(uint8_t **cursor, const void *bytes, size_t length, uint8_t *at);
void tok_put_be32(uint8_t **cursor, uint32_t value, uint8_t *at);
void tok_put_be64(uint8_t **cursor, uint64_t value, uint8_t *at);
void tok_put_be16(uint8_t **cursor, uint16_t value, uint8_t *at);
void tok_put_u8(uint8_t **cursor, uint8_t value, uint8_t *at);

// sign * (units + thousandths / 1000); units and thousandths are held as magnitudes.
struct pkt_decimal {
    int16_t units;
    uint16_t thousandths;
    int8_t sign;
};

// Filled by the caller of pkt_add_process_record; text may be null.
struct pkt_process_info {
    int64_t gid;
    int64_t uid;
    int64_t pid;
    uint16_t cred;
    const char *text;
};

int pkt_add_code_text(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code, const char *text);
// As pkt_add_code_text; a null text adds nothing and gives 0.
int pkt_add_code_text_opt(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code, const char *text);
int pkt_add_code_text_num(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code, const char *text,
                          uint32_t n);
// A TOK_REPORT token: code, "OK" or "ERROR".
void pkt_add_status(pkt_packet *p, uint8_t code, int ok);
// Code and the packet's own device id as 16 upper-case hex digits.
void pkt_add_id_text(pkt_packet *p, uint8_t id, uint8_t op, uint8_t code);
void pkt_add_process_record(pkt_packet *p, const char *date, const pkt_process_info *info);
void pkt_add_remainder(pkt_packet *p, uint64_t uid, uint32_t remainder);
void pkt_add_dated_pair(pkt_packet *p, time_t when, uint16_t a, uint16_t b);
void pkt_add_dated_counters(pkt_packet *p, const char *date, uint64_t a, uint64_t b, uint16_t c,
                            uint16_t d, uint16_t e);
void pkt_add_secret(pkt_packet *p, const char *date, uint16_t cid, const char *text);
void pkt_add_call(pkt_packet *p, uint64_t uid, const char *tel, uint16_t calltime, time_t when);
void pkt_add_number_text(pkt_packet *p, const char *number, const char *text);
// n goes out as decimal text of at most 4 digits (12345 gives 1234).
void pkt_add_call_token(pkt_packet *p, const char *token, const char *text, uint16_t n);
void pkt_add_number_text_uid(pkt_packet *p, const char *number, const char *text, uint64_t uid,
                             time_t when);
// Releases the decimal in any case.
void pkt_add_decimal(pkt_packet *p, uint8_t id, uint8_t op, int code, pkt_decimal *decimal);
// A lone TOK_DESCRIPTOR token (index 0) that belongs to no packet; null on failure.
[[nodiscard]] pkt_token *tok_create_descriptor(const char *s1, const char *s2, const char *s3,
                                               const char *s4, int a, int b, const char *s5,
                                               const char *s6);

[[nodiscard]] pkt_decimal *pkt_decimal_create(int units, int thousandths);
float pkt_decimal_format(const pkt_decimal *d, char *buf, size_t size);
char *pkt_format_date_now(char *buf, size_t size);
