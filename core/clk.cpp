#include "core/clk_private.h"

#include <atomic>

namespace
{

constexpr clk_ops real_clock = {
    .now = [] { return ::time(nullptr); },
    .sleep = ::sleep,
    .usleep = ::usleep,
};

std::atomic<const clk_ops *> current{&real_clock};

const clk_ops *ops()
{
    return current.load(std::memory_order_acquire);
}

} // namespace

time_t clk_now()
{
    return ops()->now();
}

unsigned clk_sleep(unsigned seconds)
{
    return ops()->sleep(seconds);
}

int clk_usleep(useconds_t usec)
{
    return ops()->usleep(usec);
}

const clk_ops *clk_set(const clk_ops *ops)
{
    return current.exchange(ops ? ops : &real_clock, std::memory_order_acq_rel);
}
