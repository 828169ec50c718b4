// For the tests only: where message ids come from.
#pragma once

// Fills out with length random bytes; its result as util_random_bytes gives it.
using msg_random_fn = int (*)(void *out, int length);
// Every message id is drawn through fn from now on; null puts the real generator back. Returns
// the previous one (null for the real generator).
msg_random_fn msg_set_random_source(msg_random_fn fn);
