#include "core/log.h"

#include "core/log_private.h"
#include "core/obj.h"
#include "core/util.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>

namespace
{

std::mutex log_slot_lock;
log_file *log_slot;
std::atomic<log_locked_hook_fn> log_locked_hook;

log_file *log_get()
{
    log_slot_lock.lock();
    log_file *l = log_slot;
    if (l && obj_retain(l) == 0)
        l = nullptr;
    log_slot_lock.unlock();
    return l;
}

// The file calls made under the log's lock, or its slot's, are cancellation points: a thread
// cancelled in one must not leave the log locked for good.
class cancel_off
{
public:
    cancel_off() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~cancel_off() { pthread_setcancelstate(old_, nullptr); }
    cancel_off(const cancel_off &) = delete;
    cancel_off &operator=(const cancel_off &) = delete;

private:
    int old_;
};

void run_locked_hook()
{
    if (log_locked_hook_fn hook = log_locked_hook.load())
        hook();
}

} // namespace

void log_destroy(void *p)
{
    auto *l = static_cast<log_file *>(p);
    free(l->path);
    l->path = nullptr;
    if (l->stream)
        fclose(l->stream);
    l->stream = nullptr;
}

void log_open(const char *path)
{
    if (!path)
        return;
    int open_error;
    {
        cancel_off no_cancel;
        std::lock_guard held(log_slot_lock);
        if (log_slot)
            return;
        auto *l = static_cast<log_file *>(obj_alloc(sizeof(log_file), log_destroy));
        if (!l)
            return;
        l->path = strdup(path);
        // Without a path copy there is nothing to open, now or later: no log at all.
        if (!l->path) {
            obj_release(l);
            return;
        }
        run_locked_hook();
        l->stream = util_fopen_own(l->path, true);
        open_error = l->stream ? 0 : errno;
        log_slot = l;
    }
    // Said once, so that a daemon that runs without its log does not pass for a sound one.
    if (open_error)
        fprintf(stderr, "Could not open log file %s: %s\n", path, strerror(open_error));
    log_message("Starting Application\n");
}

log_locked_hook_fn log_set_locked_hook(log_locked_hook_fn fn)
{
    return log_locked_hook.exchange(fn);
}

void log_message(const char *fmt, ...)
{
    log_file *l = log_get();
    if (!l)
        return;
    cancel_off no_cancel;
    obj_lock(l);
    run_locked_hook();
    if (!l->stream)
        l->stream = util_fopen_own(l->path, true);
    if (l->stream) {
        char stamp[50];
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        if (strftime(stamp, sizeof stamp, "%c", &tm) == 0)
            stamp[0] = '\0';
        fprintf(l->stream, "%s ", stamp);
        va_list ap;
        va_start(ap, fmt);
        vfprintf(l->stream, fmt, ap);
        va_end(ap);
        fflush(l->stream);
    }
    obj_unlock(l);
    obj_release(l);
}

int log_clear()
{
    log_file *l = log_get();
    if (!l)
        return 0;
    {
        cancel_off no_cancel;
        obj_lock(l);
        run_locked_hook();
        if (l->stream)
            fclose(l->stream);
        l->stream = util_fopen_own(l->path, true);
        obj_unlock(l);
    }
    log_message("Logs Cleared\n");
    // That line made one more attempt: only a file made afresh by now counts as cleared.
    obj_lock(l);
    int cleared = l->stream != nullptr;
    obj_unlock(l);
    obj_release(l);
    return cleared;
}

void log_close()
{
    log_slot_lock.lock();
    log_file *l = log_slot;
    log_slot = nullptr;
    log_slot_lock.unlock();
    if (l)
        obj_release(l);
}
