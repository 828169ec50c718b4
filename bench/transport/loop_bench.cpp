// Prints what a socket loop costs: how long a close request takes to end an idle loop, the
// CPU time idle loops use, and whether their passes allocate.
#include "core/obj.h"
#include "transport/sock_loop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace
{

using clk = std::chrono::steady_clock;

struct closed_at {
    std::atomic<int64_t> ns{0};
};

void *make_user(closed_at *c)
{
    auto **u = static_cast<closed_at **>(obj_alloc(sizeof(closed_at *), nullptr));
    *u = c;
    return u;
}

void note_close(void *user)
{
    (*static_cast<closed_at **>(user))->ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(clk::now().time_since_epoch()).count();
}

void never_readable(sock_socket *, void *) {}

// An unbound datagram socket: nothing ever arrives, so its loop only idles.
sock_socket *idle_loop(closed_at *c)
{
    sock_socket *s = sock_create(AF_INET, SOCK_DGRAM, 0, nullptr);
    void *user = make_user(c);
    sock_loop_start(s, never_readable, nullptr, note_close, nullptr, nullptr, user);
    obj_release(user);
    return s;
}

double process_cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void close_latency()
{
    constexpr int runs = 40;
    std::vector<double> ms;
    for (int i = 0; i < runs; i++) {
        closed_at c;
        sock_socket *s = idle_loop(&c);
        // Land the request at a different point of the 20 ms pass each time.
        std::this_thread::sleep_for(std::chrono::milliseconds(25 + i % 20));
        auto t0 = clk::now();
        sock_request_close(s);
        while (c.ns == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        ms.push_back(double(c.ns - std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       t0.time_since_epoch())
                                       .count()) /
                     1e6);
        obj_release(s);
    }
    std::sort(ms.begin(), ms.end());
    printf("close request to on_close, idle loop (%d runs): median %.1f ms, max %.1f ms\n", runs,
           ms[ms.size() / 2], ms.back());
}

void idle_cost()
{
    constexpr int loops = 20;
    std::vector<closed_at> marks(loops);
    std::vector<sock_socket *> socks;
    for (auto &m : marks)
        socks.push_back(idle_loop(&m));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    size_t heap0 = mallinfo2().uordblks;
    double cpu0 = process_cpu_seconds();
    auto t0 = clk::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double wall = std::chrono::duration<double>(clk::now() - t0).count();
    double cpu = process_cpu_seconds() - cpu0;
    long heap = long(mallinfo2().uordblks) - long(heap0);

    printf("idle loops: %d for %.1f s, %.1f us CPU per loop per second (%.3f %% of a core each)\n",
           loops, wall, cpu / loops / wall * 1e6, cpu / loops / wall * 100);
    // A pass lasts at least the 20 ms poll time-out.
    printf("heap change over about %.0f passes of %d idle loops: %ld bytes\n", wall * 50 * loops,
           loops, heap);
    for (size_t i = 0; i < socks.size(); i++) {
        sock_request_close(socks[i]);
        while (marks[i].ns == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        obj_release(socks[i]);
    }
}

} // namespace

int main()
{
    close_latency();
    idle_cost();
    return 0;
}
