// Thread registry and supervisor.
//
// The process-wide registry pointer is read and retained under a mutex of its own, and the
// creation reference is dropped only after the pointer has been cleared under that mutex, so a
// reader never retains a freed registry. thr_start and a new thread hand over with certainty:
// thr_start takes the thread's own reference before the thread exists and always answers with
// THR_REGISTERED (with THR_RUN) or THR_ABORT; the thread waits for one of them, without a time
// limit. It cannot wait for THR_RUN itself: a stop-all may clear that bit before the new thread
// first looks, and the thread would then wait for ever with its record in the registry.
#include "core/thr.h"

#include "core/lookup3.h"
#include "core/tbl.h"

#include <csignal>
#include <mutex>
#include <unistd.h>

namespace
{

std::mutex registry_slot_lock;
std::mutex registry_init_lock;
thr_registry *registry_slot;
uint32_t auto_create = 1;

thr_registry *registry_get()
{
    std::lock_guard<std::mutex> g(registry_slot_lock);
    thr_registry *r = registry_slot;
    if (r && obj_retain(r) == 0)
        r = nullptr;
    return r;
}

// Drops the reference that the process-wide pointer holds.
void registry_drop(thr_registry *expected)
{
    std::unique_lock<std::mutex> g(registry_slot_lock);
    thr_registry *r = registry_slot == expected ? registry_slot : nullptr;
    if (r)
        registry_slot = nullptr;
    g.unlock();
    if (r)
        obj_release(r);
}

uint32_t flags_of(thr_record *rec)
{
    obj_guard g(rec);
    return rec->flags;
}

void flags_set(thr_record *rec, uint32_t bits)
{
    obj_guard g(rec);
    rec->flags |= bits;
}

void flags_clear(thr_record *rec, uint32_t bits)
{
    obj_guard g(rec);
    rec->flags &= ~bits;
}

uint32_t creation_flags(thr_record *rec)
{
    return flags_of(rec) >> 16;
}

// Asks one thread to stop. The record's lock is held across the signal and the cancel: the
// thread cannot get past its cleanup (which clears THR_RUN under that lock) meanwhile, so its
// handle is still valid.
void stop_one(thr_record *rec)
{
    obj_guard g(rec);
    if (rec->flags & THR_DONE)
        return;
    if (rec->signal_fn)
        pthread_kill(rec->thread, SIGTERM);
    if ((rec->flags >> 16 & THR_CANCELLABLE) && (rec->flags & THR_RUN))
        pthread_cancel(rec->thread);
    rec->flags &= ~THR_RUN;
}

} // namespace

uint32_t thr_key_cb(const void *p, int is_key)
{
    const void *handle = is_key ? p : &static_cast<const thr_record *>(p)->thread;
    return hashlittle(handle, sizeof(pthread_t), 0xdeadbeef);
}

void thr_record_destroy(void *p)
{
    auto *rec = static_cast<thr_record *>(p);
    if (rec->arg)
        obj_release(rec->arg);
    rec->arg = nullptr;
}

void thr_registry_destroy(void *p)
{
    auto *reg = static_cast<thr_registry *>(p);
    if (reg->table)
        obj_release(reg->table);
    reg->table = nullptr;
    if (reg->supervisor)
        obj_release(reg->supervisor);
    reg->supervisor = nullptr;
    // The process-wide pointer was cleared before its reference was dropped (registry_drop),
    // so it no longer names this registry.
}

int thr_runtime_init()
{
    std::lock_guard<std::mutex> g(registry_init_lock);
    if (thr_registry *r = registry_get()) {
        obj_release(r);
        return 1;
    }
    if (__atomic_load_n(&auto_create, __ATOMIC_ACQUIRE) == 0)
        return 0;
    auto *reg = static_cast<thr_registry *>(obj_alloc(sizeof(thr_registry), thr_registry_destroy));
    if (!reg)
        return 0;
    reg->table = tbl_create(4, thr_key_cb);
    if (!reg->table) {
        obj_release(reg);
        return 0;
    }
    {
        std::lock_guard<std::mutex> slot(registry_slot_lock);
        registry_slot = reg;
    }

    thr_record *sup =
        thr_start(thr_supervisor_main, thr_supervisor_exit_cb, thr_supervisor_signal_cb, nullptr,
                  THR_JOINABLE | THR_RETURN_RECORD);
    if (!sup) {
        registry_drop(reg);
        return 0;
    }
    obj_guard rg(reg);
    reg->supervisor = sup;
    return 1;
}

thr_record *thr_start(thr_body_fn body, thr_exit_fn exit_fn, thr_signal_fn signal_fn, void *arg,
                      uint32_t flags)
{
    auto reg = obj_ref<thr_registry>::adopt(registry_get());
    if (!reg) {
        if (__atomic_load_n(&auto_create, __ATOMIC_ACQUIRE) == 0 || !thr_runtime_init())
            return nullptr;
        reg = obj_ref<thr_registry>::adopt(registry_get());
        if (!reg)
            return nullptr;
    }
    bool is_supervisor = body == thr_supervisor_main;

    obj_guard g(reg.get());
    if (!body || (!reg->supervisor && !is_supervisor))
        return nullptr;
    auto *rec = static_cast<thr_record *>(obj_alloc(sizeof(thr_record), thr_record_destroy));
    if (!rec)
        return nullptr;
    rec->arg = arg && obj_retain(arg) > 0 ? arg : nullptr;
    rec->exit_fn = exit_fn;
    rec->body = body;
    rec->signal_fn = signal_fn;
    rec->flags = flags << 16;
    g.unlock();

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    (void)pthread_attr_setstacksize(&attr, VESK_THR_STACK_SIZE);
    pthread_attr_setdetachstate(&attr, (flags & THR_JOINABLE) ? PTHREAD_CREATE_JOINABLE
                                                              : PTHREAD_CREATE_DETACHED);
    obj_retain(rec); // the thread's own reference
    int rc = pthread_create(&rec->thread, &attr, thr_main, rec);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        obj_release(rec);
        obj_release(rec);
        return nullptr;
    }

    // Registration: a stop-all that came meanwhile (supervisor gone) refuses the thread too,
    // so no thread runs unasked-to-stop after a stop-all.
    bool registered;
    {
        obj_guard r(reg.get());
        registered = (reg->supervisor || is_supervisor) && pthread_kill(rec->thread, 0) == 0 &&
                     tbl_add(reg->table, rec);
        flags_set(rec, registered ? THR_REGISTERED | THR_RUN : THR_ABORT);
    }
    reg.reset();

    // Nobody can join a thread that was refused: it lets go of itself.
    if (!registered && (flags & THR_JOINABLE))
        pthread_detach(rec->thread);
    if (registered && (flags & THR_RETURN_RECORD))
        return rec;
    obj_release(rec);
    return nullptr;
}

void *thr_main(void *p)
{
    auto *rec = static_cast<thr_record *>(p);
    // No cancellation before the cleanup handler is in place, or a cancel could skip it.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    uint32_t f;
    while (!((f = flags_of(rec)) & (THR_REGISTERED | THR_ABORT)))
        usleep(1000);
    if (f & THR_ABORT) {
        obj_release(rec);
        return nullptr;
    }
    long result = 0;
    pthread_cleanup_push(thr_cleanup_cb, rec);
    if (creation_flags(rec) & THR_CANCELLABLE)
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    result = rec->body(rec->arg);
    pthread_cleanup_pop(1);
    return reinterpret_cast<void *>(result);
}

void thr_cleanup_cb(void *p)
{
    auto *rec = static_cast<thr_record *>(p);
    // The exit routine must not be cancelled halfway either.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    if (thr_registry *reg = registry_get()) {
        tbl_remove(reg->table, rec);
        obj_release(reg);
    }
    flags_clear(rec, THR_RUN);
    flags_set(rec, THR_DONE);
    if (rec->exit_fn)
        rec->exit_fn(rec->arg);
    obj_release(rec);
}

thr_record *thr_self()
{
    thr_registry *reg = registry_get();
    if (!reg)
        return nullptr;
    pthread_t me = pthread_self();
    obj_lock(reg);
    auto *rec = static_cast<thr_record *>(tbl_find(reg->table, &me));
    obj_unlock(reg);
    obj_release(reg);
    return rec;
}

int thr_should_run()
{
    thr_record *rec = thr_self();
    if (!rec)
        return 0;
    uint32_t f = flags_of(rec);
    obj_release(rec);
    return int(f & THR_RUN);
}

long thr_supervisor_main(void *)
{
    thr_record *self = thr_self();
    if (!self)
        return 0;
    thr_registry *reg = registry_get();
    if (!reg) {
        obj_release(self);
        return 0;
    }
    int32_t end_count = 0;
    bool awaited = false;
    for (;;) {
        obj_lock(reg);
        if (tbl_count(reg->table) == end_count)
            break;
        obj_unlock(reg);
        uint32_t f = flags_of(self);
        if (f & THR_WAIT) {
            end_count = 1;
            awaited = true;
            flags_clear(self, THR_WAIT);
        }
        if (f & THR_STOP_ALL) {
            end_count = 1;
            flags_clear(self, THR_STOP_ALL);
            obj_lock(reg);
            thr_record *sup = reg->supervisor;
            reg->supervisor = nullptr;
            obj_unlock(reg);
            if (sup)
                obj_release(sup);
            tbl_foreach(reg->table, thr_stop_other_cb, self);
        }
        sleep(1);
    }
    thr_record *sup = reg->supervisor;
    reg->supervisor = nullptr;
    // Nobody joins a supervisor that was stopped without waiting: let it go by itself. A
    // waiter sets THR_WAIT under the registry lock held here, before it joins.
    if (!awaited && !(flags_of(self) & THR_WAIT))
        pthread_detach(pthread_self());
    obj_unlock(reg);
    if (sup)
        obj_release(sup);
    obj_release(reg);
    obj_release(self);
    return 0;
}

void thr_supervisor_exit_cb(void *)
{
    thr_registry *reg = registry_get();
    if (!reg)
        return;
    obj_lock(reg);
    __atomic_store_n(&auto_create, 0, __ATOMIC_RELEASE);
    obj_unlock(reg);
    registry_drop(reg);
    obj_release(reg);
}

int thr_supervisor_signal_cb(int signo, void *)
{
    thr_record *rec = thr_self();
    if (!rec)
        return 0;
    if (signo == SIGHUP) {
        flags_clear(rec, THR_RUN);
    } else if (signo == SIGINT || signo == SIGTERM) {
        flags_clear(rec, THR_RUN);
        flags_set(rec, THR_STOP_ALL);
    }
    obj_release(rec);
    return 1;
}

void thr_stop_other_cb(void *p, void *supervisor)
{
    auto *rec = static_cast<thr_record *>(p);
    auto *sup = static_cast<thr_record *>(supervisor);
    if (sup && pthread_equal(rec->thread, sup->thread))
        return;
    stop_one(rec);
}

void thr_stop(thr_record *rec)
{
    if (rec)
        stop_one(rec);
}

static void runtime_request(uint32_t bits, int wait)
{
    thr_registry *reg = registry_get();
    if (!reg)
        return;
    obj_lock(reg);
    if (reg->supervisor && wait) {
        flags_set(reg->supervisor, bits | THR_WAIT);
        pthread_t t = reg->supervisor->thread;
        obj_unlock(reg);
        pthread_join(t, nullptr);
    } else {
        if (reg->supervisor)
            flags_set(reg->supervisor, bits);
        obj_unlock(reg);
    }
    obj_release(reg);
}

void thr_runtime_stop(int wait)
{
    runtime_request(THR_STOP_ALL, wait);
}

void thr_runtime_wait()
{
    runtime_request(0, 1);
}

int thr_join(thr_record *rec, void **value)
{
    if (!rec)
        return 0;
    return pthread_join(rec->thread, value);
}

int thr_dispatch_signal(int signo)
{
    thr_record *rec = thr_self();
    if (!rec)
        return 0;
    int r = 0;
    switch (signo) {
    case SIGHUP:
    case SIGINT:
    case SIGUSR1:
    case SIGUSR2:
    case SIGALRM:
    case SIGTERM:
        if (rec->signal_fn) {
            rec->signal_fn(signo, rec->arg);
            r = 1;
        } else {
            r = -1;
        }
        break;
    default:
        break;
    }
    obj_release(rec);
    return r;
}
