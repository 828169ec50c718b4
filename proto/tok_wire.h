// The token vocabulary of the wire: token ids, the operation bytes this system writes, and the
// fixed fields of the typed payloads. The builders (tok.cpp) write these layouts and the token
// printers (pkt_log.cpp) read them, both from the definitions here, so the two cannot drift apart.
#pragma once

#include <cstdint>

// Token ids. Several tokens of one id may share a packet; the packet orders them by id.
inline constexpr uint8_t TOK_TEXT_A = 1;           // plain text, from the service
inline constexpr uint8_t TOK_PROCESS_RECORD = 6;   // date, PID, GID, UID, CRED, optional text
inline constexpr uint8_t TOK_SECRET = 7;           // date, CID, secret text
inline constexpr uint8_t TOK_EVENT = 8;            // code, text, 32-bit number (or a request)
inline constexpr uint8_t TOK_INFO = 9;             // code, text: info and query texts
inline constexpr uint8_t TOK_CALL = 13;            // UID, telephone, call time, date
inline constexpr uint8_t TOK_NUMBER_TEXT_UID = 14; // number, text, UID, date
inline constexpr uint8_t TOK_TEXT_B = 37;          // plain text, from the service
inline constexpr uint8_t TOK_NUMBER_TEXT = 39;     // number, text
inline constexpr uint8_t TOK_BARE = 50;            // nothing but its id and op is read
inline constexpr uint8_t TOK_TEXT_C = 53;          // plain text, from the service
inline constexpr uint8_t TOK_CALL_TOKEN = 54;      // token, text, decimal n
inline constexpr uint8_t TOK_REPORT = 56;          // code, text: the device report's fields
inline constexpr uint8_t TOK_REMAINDER = 65;       // UID, masked remainder, remainder
inline constexpr uint8_t TOK_DATED_PAIR = 67;      // date, a, b
inline constexpr uint8_t TOK_DESCRIPTOR = 100;     // eight texts
inline constexpr uint8_t TOK_DATED_COUNTERS = 104; // date, a, b, c, d, e

// Operation bytes, by what the token carries.
inline constexpr uint8_t TOK_REPORT_OP = 2;
inline constexpr uint8_t TOK_EVENT_OP = 2;
inline constexpr uint8_t TOK_REQUEST_OP = 1; // a request text travels as TOK_EVENT with this op
inline constexpr uint8_t TOK_INFO_OP = 1;
inline constexpr uint8_t TOK_RECORD_OP = 1; // every typed record and the descriptor

// A fixed field of a payload: offset from the first payload byte and size. Every field after the
// first stands behind a comma, so the next one starts one byte past this one's end.
struct tok_field {
    uint16_t off;
    uint16_t size;

    constexpr uint16_t end() const { return uint16_t(off + size); }
    // Where the field behind this one starts.
    constexpr uint16_t after() const { return uint16_t(end() + 1); }
    constexpr tok_field next(uint16_t n) const { return {after(), n}; }
};

// Dates travel as the 12 characters of "%y%m%d%H%M%S" local time.
inline constexpr uint16_t TOK_DATE_LEN = 12;
inline constexpr tok_field TOK_DATE_FIELD{0, TOK_DATE_LEN};

// The fixed fields of the typed payloads that a printer reads, in the order written. A text
// field has no fixed size: only where it starts is fixed, and only when every field before it is.
// Payloads that no printer reads (TOK_DATED_COUNTERS and the text lists) need no layout here.

// A code byte and a text (TOK_REPORT, TOK_INFO, TOK_EVENT, whose number follows the last comma).
struct tok_code_text_layout {
    static constexpr tok_field code{0, 1};
    static constexpr uint16_t text = code.after();
};

struct tok_process_record_layout {
    static constexpr tok_field date = TOK_DATE_FIELD;
    static constexpr tok_field pid = date.next(8);
    static constexpr tok_field gid = pid.next(8);
    static constexpr tok_field uid = gid.next(8);
    static constexpr tok_field cred = uid.next(2);
};

struct tok_secret_layout {
    static constexpr tok_field date = TOK_DATE_FIELD;
    static constexpr tok_field cid = date.next(2);
    static constexpr uint16_t text = cid.after();
};

// The telephone text and what follows it are found by comma.
struct tok_call_layout {
    static constexpr tok_field uid{0, 8};
    static constexpr uint16_t tel = uid.after();
};

struct tok_remainder_layout {
    static constexpr tok_field uid{0, 8};
    static constexpr tok_field masked = uid.next(4);
    static constexpr tok_field remainder = masked.next(4);
};

struct tok_dated_pair_layout {
    static constexpr tok_field date = TOK_DATE_FIELD;
    static constexpr tok_field a = date.next(2);
    static constexpr tok_field b = a.next(2);
};
