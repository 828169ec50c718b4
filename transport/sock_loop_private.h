// For the tests only: how a loop's thread is started, so that a test can refuse one.
#pragma once

#include "core/thr.h"

#include <cstdint>

// Called in place of thr_start for each loop thread; null puts thr_start back. Returns the
// previous one.
using sock_thread_start_fn = thr_record *(*)(thr_body_fn body, thr_exit_fn exit_fn,
                                             thr_signal_fn signal_fn, void *arg, uint32_t flags);
sock_thread_start_fn sock_loop_set_thread_start(sock_thread_start_fn fn);
