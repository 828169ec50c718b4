// A process clock that moves only when its test moves it: while a held_clock lives, every reader
// of the one clock sees the same second until the test sets it on, and a pause on it passes at
// once. One at a time.
#pragma once

#include "core/clk_private.h"

#include <atomic>
#include <ctime>
#include <sched.h>

class held_clock
{
public:
    // Far from the real time, so that a reader of the real clock shows.
    static constexpr time_t epoch = 1700000000;

    explicit held_clock(time_t start = epoch)
    {
        seconds().store(start);
        before_ = clk_set(&ops);
    }
    ~held_clock() { clk_set(before_); }
    held_clock(const held_clock &) = delete;
    held_clock &operator=(const held_clock &) = delete;

    time_t now() const { return seconds().load(); }
    void advance(time_t s) { seconds() += s; }

private:
    static std::atomic<time_t> &seconds()
    {
        static std::atomic<time_t> s{0};
        return s;
    }

    static constexpr clk_ops ops = {
        .now = [] { return seconds().load(); },
        .sleep =
            [](unsigned s) {
                seconds() += time_t(s);
                return 0u;
            },
        // Less than a second: the clock does not move, but the caller still gives way.
        .usleep =
            [](useconds_t) {
                sched_yield();
                return 0;
            },
    };

    const clk_ops *before_;
};
