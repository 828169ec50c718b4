// The system's own messages: their device id, the command values, new message ids, and the
// poll exchange with the service (the poll, its reply callback and the acknowledgement).
//
// Built into the link's library, not the packet library: messages go out through the pending
// table, and the link's transmit path and dispatcher send polls in turn. No state of their own;
// the device id is looked up afresh for every message.
#pragma once

#include "link/msg_random.h"

#include <cstdint>

struct pkt_packet;
struct sock_socket;
struct tbl_table;

// Command values, as the signed byte that the packet holds.
inline constexpr int8_t MSG_CMD_DEVICE_REPORT = -3;
inline constexpr int8_t MSG_CMD_STATUS = -1;
inline constexpr int8_t MSG_CMD_POLL = 1;
inline constexpr int8_t MSG_CMD_REPLY = 2;
inline constexpr int8_t MSG_CMD_REPLY_ALT = 3;
inline constexpr int8_t MSG_CMD_ACK = 4;
inline constexpr int8_t MSG_CMD_EVENT = 5;
inline constexpr int8_t MSG_CMD_REQUEST = 8;

// An answer code that sends nothing.
inline constexpr int MSG_NO_ANSWER = 2;

// A new packet with a random MID and the device id, without tokens; null when none can be made.
// Submitted as a request, it gets a MID afresh that no pending entry holds.
[[nodiscard]] pkt_packet *msg_create(int8_t cmd);
// The same, answering mid.
[[nodiscard]] pkt_packet *pkt_create_reply(int8_t cmd, uint16_t mid);
// 00 FF and the Ethernet address of the interface routed toward 192.88.99.0: the first length
// bytes (at most 8). out is left alone when the route or the interface list can't be read.
void msg_get_device_id(uint8_t *out, int length);

void msg_send_reply(int8_t cmd, uint16_t mid);
// 1 when a poll was submitted.
int msg_send_poll();
int msg_poll_reply_cb(sock_socket *s, int8_t sent, int8_t reply, tbl_table *tokens, uint16_t mid,
                      void *user);
int msg_answer_code(int8_t reply, tbl_table *tokens);
