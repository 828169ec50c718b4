// For the tests only: the message builders' hand-over, seen from outside.
#pragma once

#include <cstdint>
#include <ctime>

struct pkt_packet;

// Called by msg_hook_submit with each built message (still holding the maker's reference), its
// token id and time, before the hook lets go of it. Null removes it. Returns the previous one.
using msg_submit_observer_fn = void (*)(pkt_packet *p, uint8_t token_id, time_t when);
msg_submit_observer_fn msg_set_submit_observer(msg_submit_observer_fn fn);
