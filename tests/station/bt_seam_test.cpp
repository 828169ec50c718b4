// The real table's bound on the kernel's waits: a deadline interrupts the call that its thread
// blocks in, and nothing once it is gone.
#include "station/bt_seam_private.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace
{

using namespace std::chrono;

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe()
    {
        close(fd[0]);
        close(fd[1]);
    }
};

TEST(Deadline, InterruptsABlockedCallAndNothingAfterItEnds)
{
    Pipe p;
    char c;
    auto start = steady_clock::now();
    {
        bt_deadline d(100);
        // Nothing ever comes: only the deadline ends this read.
        EXPECT_EQ(read(p.fd[0], &c, 1), -1);
        EXPECT_EQ(errno, EINTR);
    }
    EXPECT_GE(steady_clock::now() - start, milliseconds(100));

    {
        bt_deadline d(20);
    }
    // A deadline gone before it fired leaves no signal behind to cut a later wait short.
    pollfd pf = {p.fd[0], POLLIN, 0};
    EXPECT_EQ(poll(&pf, 1, 200), 0);
}

} // namespace
