// For the tests and the fuzzer only: the packet log without its pacing.
#pragma once

// Replaces the pause between log lines (tests and the fuzzer do not wait); null restores the
// real one. Returns the previous pause.
using pkt_pause_fn = void (*)(unsigned ms);
pkt_pause_fn pkt_log_set_pause(pkt_pause_fn fn);
