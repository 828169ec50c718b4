// Helpers shared by the packet sources, not part of their interface: the making of one token.
#pragma once

#include <cstdint>

struct pkt_token;

// A token with a copy of len bytes of data and a NUL behind them; null when either allocation
// fails, so that no token ever exists without its data.
pkt_token *tok_create(uint8_t id, uint8_t op, const void *data, uint16_t len, uint16_t index);
