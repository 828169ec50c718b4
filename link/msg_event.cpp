// Event and status messages, their reply callbacks and the builders that only hand their message
// to the hooks. A sender that cannot carry what it was asked to tell sends nothing: the service
// would read an event without its text as a different one.
#include "link/msg_event.h"
#include "link/msg_event_private.h"

#include "core/clk.h"
#include "core/obj.h"
#include "core/tbl.h"
#include "core/util.h"
#include "link/msg.h"
#include "proto/pkt.h"
#include "proto/tok.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <utility>

namespace
{

// Codes, the first byte of an event's payload.
constexpr uint8_t CODE_BYTE = 7;
constexpr uint8_t CODE_FAULT = 8;
constexpr uint8_t CODE_REQUEST = 11;
constexpr uint8_t CODE_PIN_LOCKOUT = 14;
constexpr uint8_t CODE_QUERY = 18;
constexpr uint8_t CODE_INFO = 19;
constexpr uint8_t CODE_CHANGED_SECOND = 23;
constexpr uint8_t CODE_CHANGED_FIRST = 24;
constexpr uint8_t CODE_NUMBER = 26;
constexpr uint8_t CODE_TEXT = 27;

constexpr size_t DATE_BUF = 21;

using packet_ref = obj_ref<pkt_packet>;

std::atomic<msg_submit_observer_fn> observer{nullptr};

packet_ref new_event()
{
    return packet_ref::adopt(msg_create(MSG_CMD_EVENT));
}

// The pending table takes its own reference; the maker's goes with p.
int submit(packet_ref p, pendq_reply_fn reply, uint32_t kind, void *user)
{
    pendq_submit_request(p.get(), reply, kind, user);
    return 1;
}

// One event token: code, text and n.
int send_event(uint8_t code, const char *text, uint32_t n, uint32_t kind)
{
    packet_ref p = new_event();
    if (!p || !pkt_add_code_text_num(p.get(), TOK_EVENT, TOK_EVENT_OP, code, text, n))
        return 0;
    return submit(std::move(p), msg_event_reply_cb, kind, nullptr);
}

// One code-and-text token, or none for a null text; queued for the pump.
int queue_text(uint8_t id, uint8_t op, uint8_t code, const char *text, pendq_reply_fn reply,
               void *user)
{
    packet_ref p = new_event();
    if (!p || (text && !pkt_add_code_text(p.get(), id, op, code, text)))
        return 0;
    return submit(std::move(p), reply, PENDQ_QUEUE_ONLY, user);
}

// Outside the rows of its own command, each table gives 1 for a sent CMD of -3 to 10, else 0.
int by_sent(int8_t sent)
{
    return sent >= -3 && sent <= 10 ? 1 : 0;
}

// A built message: the clock is read first, then the message is made and filled (its hook and
// its token); fill gives the time for the hand-over, which takes the maker's reference.
template <class Fill>
int build(uint8_t token_id, Fill fill)
{
    time_t now = clk_now();
    pkt_packet *p = msg_create(MSG_CMD_EVENT);
    if (!p)
        return -1;
    time_t handed = fill(p, now);
    return msg_hook_submit(p, token_id, handed);
}

struct date_now {
    char s[DATE_BUF];
    date_now() { pkt_format_date_now(s, sizeof s); }
};

const char *printable(const char *s)
{
    return s ? s : "(null)";
}

} // namespace

int msg_send_remainder(uint64_t uid, uint32_t remainder)
{
    packet_ref p = new_event();
    if (!p)
        return 0;
    pkt_add_remainder(p.get(), uid, remainder);
    if (tbl_count(p->tokens) != 1)
        return 0;
    return submit(std::move(p), msg_event_reply_cb, PENDQ_QUEUE_ONLY, nullptr);
}

int msg_send_event_byte(int n)
{
    char text[4];
    snprintf(text, sizeof text, "%hu", static_cast<unsigned short>(uint8_t(n)));
    return send_event(CODE_BYTE, text, 1, PENDQ_SEND_RETRY);
}

int msg_send_event_text(const char *text, int flag)
{
    return send_event(CODE_TEXT, text, uint8_t(flag) != 0, PENDQ_SEND_RETRY);
}

int msg_send_fault(int crash)
{
    return send_event(CODE_FAULT, crash ? "Crash" : "Alignment", 1, PENDQ_SEND_RETRY);
}

int msg_send_pin_lockout()
{
    return send_event(CODE_PIN_LOCKOUT, "Maint PIN Lockout", 1, PENDQ_QUEUE_ONLY);
}

int msg_send_event_number(int n)
{
    char text[12];
    snprintf(text, sizeof text, "%i", n);
    return send_event(CODE_NUMBER, text, 1, PENDQ_SEND_RETRY);
}

int msg_send_info_text(const char *text)
{
    return queue_text(TOK_INFO, TOK_INFO_OP, CODE_INFO, text, msg_event_reply_cb, nullptr);
}

int msg_send_changed_pair(const char *first, const char *second, const char *current)
{
    const bool has_first = !util_str_is_empty(first);
    const bool has_second = !util_str_is_empty(second);
    if (!has_first && !has_second)
        return 0;
    packet_ref p = new_event();
    if (!p)
        return 0;
    // Both tokens share one id, so the order of adding is their order in the packet.
    if (has_second && !pkt_add_code_text_num(p.get(), TOK_EVENT, TOK_EVENT_OP, CODE_CHANGED_SECOND,
                                             second, second == current))
        return 0;
    if (has_first && !pkt_add_code_text_num(p.get(), TOK_EVENT, TOK_EVENT_OP, CODE_CHANGED_FIRST,
                                            first, first == current))
        return 0;
    return submit(std::move(p), msg_event_reply_cb, PENDQ_QUEUE_ONLY, nullptr);
}

int msg_send_query_text(const char *text, pendq_reply_fn reply, void *user)
{
    return queue_text(TOK_INFO, TOK_INFO_OP, CODE_QUERY, text, reply, user);
}

int msg_send_request_text(const char *text, pendq_reply_fn reply, void *user)
{
    return queue_text(TOK_EVENT, TOK_REQUEST_OP, CODE_REQUEST, text, reply, user);
}

int msg_send_status()
{
    packet_ref p = packet_ref::adopt(msg_create(MSG_CMD_STATUS));
    if (!p)
        return 0;
    return submit(std::move(p), msg_status_reply_cb, PENDQ_SEND_ONCE, nullptr);
}

int msg_build_dated_pair(uint16_t a, uint16_t b)
{
    return build(TOK_DATED_PAIR, [&](pkt_packet *p, time_t now) {
        msg_hook_dated_pair(now, p->mid, a, b);
        pkt_add_dated_pair(p, now, a, b);
        return now;
    });
}

int msg_build_process_record(const pkt_process_info *info)
{
    return build(TOK_PROCESS_RECORD, [&](pkt_packet *p, time_t now) {
        date_now date;
        msg_hook_process_record(now, p->mid, date.s, info);
        pkt_add_process_record(p, date.s, info);
        return now;
    });
}

int msg_build_counters(uint64_t a, uint64_t b, uint16_t c, uint16_t d, uint16_t e)
{
    return build(TOK_DATED_COUNTERS, [&](pkt_packet *p, time_t now) {
        date_now date;
        msg_hook_counters(now, p->mid, date.s, a, b, c, d, e);
        pkt_add_dated_counters(p, date.s, a, b, c, d, e);
        return now;
    });
}

int msg_build_secret(uint16_t cid, const char *text)
{
    return build(TOK_SECRET, [&](pkt_packet *p, time_t now) {
        date_now date;
        msg_hook_secret(now, p->mid, date.s, cid, text);
        pkt_add_secret(p, date.s, cid, text);
        return now;
    });
}

int msg_build_call(uint64_t uid, const char *tel, uint16_t calltime)
{
    return build(TOK_CALL, [&](pkt_packet *p, time_t now) {
        msg_hook_call(now, p->mid, uid, tel, calltime);
        pkt_add_call(p, uid, tel, calltime, now);
        return now;
    });
}

int msg_build_number_text_uid(const char *number, const char *text, uint64_t uid)
{
    return build(TOK_NUMBER_TEXT_UID, [&](pkt_packet *p, time_t now) {
        msg_hook_number_text_uid(now, p->mid, number, text, uid);
        pkt_add_number_text_uid(p, number, text, uid, now);
        // The hand-over reads the clock again.
        return clk_now();
    });
}

int msg_build_number_text(const char *number, const char *text)
{
    return build(TOK_NUMBER_TEXT, [&](pkt_packet *p, time_t now) {
        msg_hook_number_text(now, p->mid, number, text);
        pkt_add_number_text(p, number, text);
        return now;
    });
}

int msg_build_call_token(const char *token, const char *text, uint16_t n)
{
    return build(TOK_CALL_TOKEN, [&](pkt_packet *p, time_t now) {
        msg_hook_call_token(now, p->mid, token, text, n);
        pkt_add_call_token(p, token, text, n);
        fprintf(stderr, "GCALL IN TOKEN %s %s %i", printable(token), printable(text), int(n));
        return now;
    });
}

int msg_hook_submit(pkt_packet *p, uint8_t token_id, time_t when)
{
    if (msg_submit_observer_fn fn = observer.load(std::memory_order_acquire))
        fn(p, token_id, when);
    // Nothing sends a built message: the maker's reference is its last.
    obj_release(p);
    return 0;
}

void msg_hook_dated_pair(time_t, uint16_t, uint16_t, uint16_t) {}
void msg_hook_process_record(time_t, uint16_t, const char *, const pkt_process_info *) {}
void msg_hook_counters(time_t, uint16_t, const char *, uint64_t, uint64_t, uint16_t, uint16_t,
                       uint16_t)
{
}
void msg_hook_secret(time_t, uint16_t, const char *, uint16_t, const char *) {}
void msg_hook_call(time_t, uint16_t, uint64_t, const char *, uint16_t) {}
void msg_hook_number_text_uid(time_t, uint16_t, const char *, const char *, uint64_t) {}
void msg_hook_number_text(time_t, uint16_t, const char *, const char *) {}
void msg_hook_call_token(time_t, uint16_t, const char *, const char *, uint16_t) {}
void msg_hook_status_result(int) {}
void msg_hook_result(int) {}

msg_submit_observer_fn msg_set_submit_observer(msg_submit_observer_fn fn)
{
    return observer.exchange(fn, std::memory_order_acq_rel);
}

int msg_status_reply_cb(sock_socket *, int8_t sent, int8_t reply, tbl_table *, uint16_t, void *)
{
    int result = by_sent(sent);
    if (sent == MSG_CMD_STATUS)
        result = reply == 0 || reply == MSG_CMD_REPLY ? 0 : reply == -2 ? 2 : 1;
    msg_hook_status_result(result);
    return result;
}

int msg_event_reply_cb(sock_socket *, int8_t sent, int8_t reply, tbl_table *tokens, uint16_t mid,
                       void *)
{
    if (tokens)
        fprintf(stderr, "Result %hhi %hhi %hu %p", sent, reply, mid, static_cast<void *>(tokens));
    if (sent != MSG_CMD_EVENT)
        return by_sent(sent);
    if (reply == MSG_CMD_REPLY || reply == MSG_CMD_REPLY_ALT)
        return 0;
    return reply == MSG_CMD_ACK ? 2 : 1;
}

int msg_result_code(sock_socket *, int8_t sent, int8_t reply)
{
    int result = by_sent(sent);
    if (sent == MSG_CMD_DEVICE_REPORT)
        result = reply == -2 ? 0 : reply == 0 ? 2 : 1;
    msg_hook_result(result);
    return result;
}
