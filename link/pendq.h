// The pending table: every request sent to the service waits here, keyed by its message id,
// until its reply comes, and the resend pump decides when it goes out again or is given up.
//
// One process-wide table of 16 buckets; every 16-bit MID falls in the first, so a walk meets
// the entries in ascending MID order and all entries share one bucket lock. The table holds one
// reference per entry. An entry's own lock guards attempts and last_send; its other fields are
// set before it is entered and never change. A walk takes entries under the bucket's lock, so
// no entry lock is held while entering a packet or sending one; entry, then the log.
#pragma once

#include <cstdint>
#include <ctime>

struct link_state;
struct pkt_packet;
struct sock_socket;
struct tbl_table;

// Sent at once with one attempt; never resent; dropped 60 s after its send or at its reply.
inline constexpr uint32_t PENDQ_SEND_ONCE = 0;
// Sent at once; resent 60 s after each send, three times; then given up.
inline constexpr uint32_t PENDQ_SEND_RETRY = 1;
// Entered only: the pump makes its first send, then treats it as PENDQ_SEND_RETRY.
inline constexpr uint32_t PENDQ_QUEUE_ONLY = 2;

// Called with a reply on the connection's loop thread: the connection, the request's CMD, the
// reply's CMD, the reply's tokens (null when it carries none), the MID and the user object.
// Its result is ignored.
using pendq_reply_fn = int (*)(sock_socket *s, int8_t sent, int8_t reply, tbl_table *tokens,
                               uint16_t mid, void *user);

struct pendq_entry {
    pkt_packet *packet; // with a reference
    pendq_reply_fn reply;
    time_t last_send; // 0 = never
    uint8_t attempts;
    uint32_t kind;
    void *user; // a reference-counted object or null, with a reference
};

// Makes the process-wide table; a table already made is kept with its entries. 1 when there is
// a table.
int pendq_create();
uint32_t pendq_key_cb(const void *p, int is_key);
void pendq_entry_destroy(void *entry);

// Enters the packet (the table takes its own reference) and, for the kinds sent at once, sends
// it on the calling thread. Without a table those are sent once and not kept. The packet keeps
// its MID: for a reply or an acknowledgement, which carries the MID it answers.
void pendq_submit(pkt_packet *packet, pendq_reply_fn reply, uint32_t kind, void *user);
// As pendq_submit, for a request of the system's own (a poll, a status, an event, a device
// report): its MID is drawn anew, at random among those that no pending entry holds, in one step
// with its entering; without a table, at random. When every MID is pending it is dropped.
void pendq_submit_request(pkt_packet *packet, pendq_reply_fn reply, uint32_t kind, void *user);
// One pass over the table: first sends, resends, final steps, expiry. 1 when there is no table.
int pendq_pump(link_state *link);

[[nodiscard]] pendq_entry *pendq_find(uint16_t mid);
int pendq_contains(uint16_t mid);
int pendq_count(); // -1 without a table
void pendq_add(pendq_entry *entry);
void pendq_remove(pendq_entry *entry);

// The table itself (null before pendq_create); not retained: it lives for the whole process.
tbl_table *pendq_table();
