// Small helpers shared by the transport tests: signals, socket flags and loop ends.
#pragma once

#include "tests/common/test_util.h"

#include "core/obj.h"
#include "core/thr.h"
#include "transport/sock.h"

#include <atomic>
#include <csignal>

namespace net
{

using ::settle_until;
using ::wait_until;

using ::loopback;
using ::port_of;
using ::raw_connect;
using ::raw_socket;

// Counts SIGPIPE for as long as it lives, where the default would end the test process.
class sigpipe_counter
{
public:
    sigpipe_counter()
    {
        struct sigaction sa = {};
        sa.sa_handler = [](int) { raised++; };
        sigaction(SIGPIPE, &sa, &old_);
        raised = 0;
    }
    ~sigpipe_counter() { sigaction(SIGPIPE, &old_, nullptr); }
    int count() const { return raised; }

private:
    static inline std::atomic<int> raised{0};
    struct sigaction old_ = {};
};

inline uint32_t flags_of(sock_socket *s)
{
    obj_guard g(s);
    return s->flags;
}

// Drops the owner's reference to a socket whose loop has ended or been asked to end, and waits
// until the loop thread has let go of everything it held.
inline bool release_and_wait(sock_socket *s)
{
    thr_record *rec = nullptr;
    {
        obj_guard g(s);
        if (s->thread && obj_retain(s->thread) > 0)
            rec = s->thread;
    }
    obj_release(s);
    if (!rec)
        return true;
    bool gone = settle_until([&] { return obj_refcount(rec) == 1; });
    obj_release(rec);
    return gone;
}

} // namespace net
