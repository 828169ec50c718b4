// Thread registry and supervisor.
//
// Every thread of the system's own starts through thr_start and gets a thr_record: its
// argument object (retained), handle, routines and flags. The registry (a singleton) keeps
// the running records in a 16-bucket table keyed by the thread handle; its supervisor thread,
// on request, asks every other thread to stop and ends once it is alone. The exit routine of
// a thread runs exactly once after its body, however the body ended.
// Locking: registry, then the table's locks, then a record. A record's flags word is read
// and written only under the record's own lock.
#pragma once

#include "core/obj.h"

#include <cstdint>
#include <pthread.h>

using thr_body_fn = long (*)(void *arg);
using thr_exit_fn = void (*)(void *arg);
using thr_signal_fn = int (*)(int signo, void *arg);

// State bits (low 16 bits of the flags word).
inline constexpr uint32_t THR_RUN = 0x2;
inline constexpr uint32_t THR_DONE = 0x4;
inline constexpr uint32_t THR_WAIT = 0x8;
inline constexpr uint32_t THR_STOP_ALL = 0x10;
// The thread was never registered: it ends without running its body or exit routine.
inline constexpr uint32_t THR_ABORT = 0x20;
// The record was registered. Unlike THR_RUN a stop never clears it, so a thread that is asked
// to stop before it first looks still runs its body (which sees the stop) and its exit routine.
inline constexpr uint32_t THR_REGISTERED = 0x40;

// Creation flags (stored in the flags word shifted left by 16).
inline constexpr uint32_t THR_CANCELLABLE = 1;
inline constexpr uint32_t THR_JOINABLE = 2;
inline constexpr uint32_t THR_RETURN_RECORD = 4;

struct thr_record {
    void *arg;
    pthread_t thread;
    thr_exit_fn exit_fn;
    thr_body_fn body;
    thr_signal_fn signal_fn;
    uint32_t flags;
};

struct tbl_table;
struct thr_registry {
    tbl_table *table;
    thr_record *supervisor;
};

int thr_runtime_init();
[[nodiscard]] thr_record *thr_start(thr_body_fn body, thr_exit_fn exit_fn, thr_signal_fn signal_fn,
                                    void *arg, uint32_t flags);
int thr_should_run();
[[nodiscard]] thr_record *thr_self();
void thr_runtime_stop(int wait);
void thr_runtime_wait();
int thr_join(thr_record *rec, void **value);
void thr_stop(thr_record *rec);
int thr_dispatch_signal(int signo);

// Routines handed to others; exposed for the tests.
void *thr_main(void *rec);
void thr_cleanup_cb(void *rec);
long thr_supervisor_main(void *arg);
void thr_supervisor_exit_cb(void *arg);
int thr_supervisor_signal_cb(int signo, void *arg);
void thr_stop_other_cb(void *rec, void *supervisor);
uint32_t thr_key_cb(const void *p, int is_key);
void thr_record_destroy(void *rec);
void thr_registry_destroy(void *reg);

// Stack size asked for each thread; sanitizer builds need more than the product's 65535.
#ifndef VESK_THR_STACK_SIZE
#define VESK_THR_STACK_SIZE 0xffff
#endif
