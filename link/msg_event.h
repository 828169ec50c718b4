// Event and status messages: the status (CMD 255) and the events (CMD 5) with typed tokens, the
// reply callbacks that go with them and their result codes, and the builders that make a message
// and hand it to hooks without sending it.
//
// Built into the link's library with the other message constructors: the senders submit to the
// pending table. No state of their own. A sender runs on its caller's thread; the kinds sent at
// once go out on that thread, the queued ones with the pump's next pass. The reply callbacks run
// on the connection's loop thread.
#pragma once

#include "link/pendq.h"

#include <cstdint>
#include <ctime>

struct pkt_packet;
struct pkt_process_info;
struct sock_socket;
struct tbl_table;

// Senders: 1 when the message was handed to the pending table; 0 when none was, because no
// packet could be made, a text was too long for its token, or (for the changed pair) there was
// nothing to tell. A null text leaves the token out where a sender allows it, and is refused
// where the event means nothing without it.
int msg_send_remainder(uint64_t uid, uint32_t remainder);
int msg_send_event_byte(int n); // the low byte of n, as decimal text
int msg_send_event_text(const char *text, int flag);
int msg_send_fault(int crash);
int msg_send_pin_lockout();
int msg_send_event_number(int n);
int msg_send_info_text(const char *text);
// Tells which of the two texts is current by pointer identity, not by content.
int msg_send_changed_pair(const char *first, const char *second, const char *current);
// user is a reference-counted object or null; the pending entry holds a reference to it.
int msg_send_query_text(const char *text, pendq_reply_fn reply, void *user);
int msg_send_request_text(const char *text, pendq_reply_fn reply, void *user);
int msg_send_status();

// Builders: make the message, pass its fields to their hook, add the token and give the packet
// to msg_hook_submit with the maker's reference; nothing is sent. The hook's result, or -1 when
// no packet could be made.
int msg_build_dated_pair(uint16_t a, uint16_t b);
int msg_build_process_record(const pkt_process_info *info);
int msg_build_counters(uint64_t a, uint64_t b, uint16_t c, uint16_t d, uint16_t e);
int msg_build_secret(uint16_t cid, const char *text);
int msg_build_call(uint64_t uid, const char *tel, uint16_t calltime);
int msg_build_number_text_uid(const char *number, const char *text, uint64_t uid);
int msg_build_number_text(const char *number, const char *text);
int msg_build_call_token(const char *token, const char *text, uint16_t n);

// Hooks. msg_hook_submit takes over the reference that it is given.
int msg_hook_submit(pkt_packet *p, uint8_t token_id, time_t when);
void msg_hook_dated_pair(time_t when, uint16_t mid, uint16_t a, uint16_t b);
void msg_hook_process_record(time_t when, uint16_t mid, const char *date,
                             const pkt_process_info *info);
void msg_hook_counters(time_t when, uint16_t mid, const char *date, uint64_t a, uint64_t b,
                       uint16_t c, uint16_t d, uint16_t e);
void msg_hook_secret(time_t when, uint16_t mid, const char *date, uint16_t cid, const char *text);
void msg_hook_call(time_t when, uint16_t mid, uint64_t uid, const char *tel, uint16_t calltime);
void msg_hook_number_text_uid(time_t when, uint16_t mid, const char *number, const char *text,
                              uint64_t uid);
void msg_hook_number_text(time_t when, uint16_t mid, const char *number, const char *text);
void msg_hook_call_token(time_t when, uint16_t mid, const char *token, const char *text,
                         uint16_t n);
void msg_hook_status_result(int result);
void msg_hook_result(int result);

// Reply callbacks and result codes (0, 1 or 2) of the sent and the reply CMD.
int msg_status_reply_cb(sock_socket *s, int8_t sent, int8_t reply, tbl_table *tokens, uint16_t mid,
                        void *user);
int msg_event_reply_cb(sock_socket *s, int8_t sent, int8_t reply, tbl_table *tokens, uint16_t mid,
                       void *user);
int msg_result_code(sock_socket *s, int8_t sent, int8_t reply);
