// A client that holds connections open to a server on 127.0.0.1, each from a source address
// of its choosing in 127/8 (loopback answers the whole block), and trickles a byte now and then
// so that none times out. The connections that the server closes are let go as soon as that
// is seen; the rest go with the holder.
#pragma once

#include "tests/common/test_util.h"

#include <chrono>
#include <cstddef>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// A TCP connection from source (an address in 127/8, as text) to 127.0.0.1:port; -1 when it
// cannot be made.
inline int connect_from(const std::string &source, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in from = loopback(0);
    sockaddr_in to = loopback(port);
    if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class held_connections
{
public:
    held_connections() = default;
    held_connections(const held_connections &) = delete;
    held_connections &operator=(const held_connections &) = delete;
    ~held_connections()
    {
        for (const auto &c : held_)
            close(c.fd);
    }

    // Opens count more connections from source; whether every one was made.
    bool open(const std::string &source, int port, int count)
    {
        for (int i = 0; i < count; i++) {
            int fd = connect_from(source, port);
            if (fd < 0)
                return false;
            held_.push_back({fd, source});
        }
        return true;
    }

    // How many are still open at the server, from source or (empty) from any; those that it
    // closed are let go here.
    size_t held(const std::string &source = "")
    {
        std::vector<connection> open;
        size_t n = 0;
        for (const auto &c : held_) {
            pollfd p = {c.fd, POLLIN, 0};
            char byte;
            if (poll(&p, 1, 0) == 1 && recv(c.fd, &byte, 1, MSG_DONTWAIT) <= 0) {
                close(c.fd);
                continue;
            }
            open.push_back(c);
            if (source.empty() || c.source == source)
                n++;
        }
        held_.swap(open);
        return n;
    }

    // A byte of a request line that never ends to each connection, at most once a second;
    // each byte restarts the server's idle time-out.
    void trickle()
    {
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::seconds(1))
            return;
        last_ = now;
        for (const auto &c : held_)
            (void)send(c.fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

private:
    struct connection {
        int fd;
        std::string source;
    };
    std::vector<connection> held_;
    std::chrono::steady_clock::time_point last_{};
};
