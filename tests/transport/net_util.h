// Small helpers shared by the transport tests: raw loopback peers and waiting.
#pragma once

#include "tests/common/test_util.h"

#include "core/obj.h"
#include "core/thr.h"
#include "transport/sock.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

namespace net
{

using ::wait_until;

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline int port_of(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// A raw socket bound to 127.0.0.1 on an ephemeral port; a TCP one listens unless told not to,
// and one that does not listen refuses every connection for as long as it is kept.
struct raw_socket {
    int fd = -1;
    int port = 0;
    explicit raw_socket(int type = SOCK_STREAM, bool listening = true)
    {
        fd = socket(AF_INET, type, 0);
        sockaddr_in a = loopback(0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 && type == SOCK_STREAM &&
            listening)
            listen(fd, 16);
        port = port_of(fd);
    }
    ~raw_socket()
    {
        if (fd >= 0)
            close(fd);
    }
    raw_socket(const raw_socket &) = delete;
    raw_socket &operator=(const raw_socket &) = delete;
    std::string service() const { return std::to_string(port); }
    int accept_one() const { return accept(fd, nullptr, nullptr); }
};

inline int raw_connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

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
    bool gone = wait_until([&] { return obj_refcount(rec) == 1; });
    obj_release(rec);
    return gone;
}

} // namespace net
