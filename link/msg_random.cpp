#include "link/msg_random.h"
#include "link/msg_random_private.h"

#include "core/util.h"

#include <atomic>

namespace
{

std::atomic<msg_random_fn> random_source{nullptr};

} // namespace

void msg_random_bytes(void *out, int length)
{
    msg_random_fn fn = random_source.load(std::memory_order_acquire);
    (void)(fn ? fn(out, length) : util_random_bytes(out, length));
}

msg_random_fn msg_set_random_source(msg_random_fn fn)
{
    return random_source.exchange(fn, std::memory_order_acq_rel);
}
