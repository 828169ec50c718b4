// A descriptor closed at the end of its scope; for the short-lived sockets of this library.
#pragma once

#include <unistd.h>

class sock_fd
{
public:
    explicit sock_fd(int fd) : fd_(fd) {}
    ~sock_fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    sock_fd(const sock_fd &) = delete;
    sock_fd &operator=(const sock_fd &) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};
