// Link state: the singleton record, its accessors and the failure accounting.
//
// The slot is made once under a mutex of its own and then only read. The two accounting times
// are guarded by the accounting lock, held across a whole accounting step, so two threads
// reporting failures at once count them one after the other.
#include "link/link.h"
#include "link/link_impl.h"

#include "core/clk.h"
#include "core/log.h"
#include "core/obj.h"
#include "transport/sock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace
{

constexpr time_t FIRST_KEEPALIVE = 60;
constexpr time_t KEEPALIVE = 90;
constexpr time_t FAILURE_GAP = 60;
constexpr time_t LONG_STEP_GAP = 900;
constexpr time_t CLOCK_RESTART = 86400;

std::atomic<link_state *> slot{nullptr};
std::mutex slot_mutex;

std::mutex accounting_mutex;
time_t last_failure; // 0: none yet
time_t last_long_step;

// The caller holds the accounting lock.
int count_failure(bool reset, time_t now)
{
    obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
    if (!link)
        return 0;
    int result = 0;
    sock_socket *dropped;
    {
        obj_guard g(link.get());
        if (reset) {
            link->short_failures = link->long_failures = 0;
            result = 1;
        } else {
            uint8_t old = link->short_failures;
            link->short_failures = uint8_t(old + 1);
            if (old >= 2 && old <= 254 && now - last_long_step > LONG_STEP_GAP) {
                link->long_failures++;
                last_long_step = now;
            }
            if (link->long_failures > 3) {
                link->short_failures = link->long_failures = 0;
                result = 1;
            }
        }
        dropped = link_take_connection(link.get());
    }
    obj_release(dropped);
    return result;
}

} // namespace

sock_socket *link_take_connection(link_state *link)
{
    sock_socket *s = link->connection;
    link->connection = nullptr;
    sock_request_close(s);
    return s;
}

link_state *link_get()
{
    link_state *link = slot.load(std::memory_order_acquire);
    if (!link) {
        std::lock_guard<std::mutex> g(slot_mutex);
        link = slot.load(std::memory_order_relaxed);
        if (!link) {
            link = static_cast<link_state *>(obj_alloc(sizeof(link_state), link_destroy));
            if (!link)
                return nullptr;
            link->keepalive = clk_now() + FIRST_KEEPALIVE;
            slot.store(link, std::memory_order_release);
        }
    }
    return obj_retain(link) > 0 ? link : nullptr;
}

void link_destroy(void *p)
{
    auto *link = static_cast<link_state *>(p);
    free(link->address);
    link->address = nullptr;
    free(link->label);
    link->label = nullptr;
    obj_release(link_take_connection(link));
}

int link_get_address(link_state *link, char *buf, int len)
{
    if (!link)
        return 0;
    obj_guard g(link);
    if (buf && len > 0) {
        memset(buf, 0, size_t(len));
        if (link->address)
            strncpy(buf, link->address, size_t(len - 1));
    }
    return link->address ? 1 : 0;
}

void link_set_address(link_state *link, const char *address, uint16_t port, const char *note,
                      int log)
{
    if (!link || !address)
        return;
    obj_guard g(link);
    if (link->address && link->port == port && strcmp(link->address, address) == 0)
        return;
    char *copy = strdup(address);
    free(link->address);
    link->address = copy;
    link->port = port;
    if (!log || !copy)
        return;
    if (note)
        log_message("IP ADDRESS TO USE %s:%u (%s)\n", copy, unsigned(port), note);
    else
        log_message("IP ADDRESS TO USE %s:%u\n", copy, unsigned(port));
}

void link_set_address_if_valid(link_state *link, const char *address, uint16_t port,
                               const char *note, int log)
{
    if (port != 0 && address && address[0])
        link_set_address(link, address, port, note, log);
}

int link_note_failure(uint8_t reset, time_t now)
{
    std::lock_guard<std::mutex> g(accounting_mutex);
    time_t last = last_failure;
    if (last && now && now - last >= FAILURE_GAP) {
        last_failure = now;
        // After a quiet day the old failures say nothing about the service any more.
        if (now - last > CLOCK_RESTART)
            return 0;
        return count_failure(reset, now);
    }
    if (!last && now) {
        last_failure = now;
        return 0;
    }
    return reset ? count_failure(true, now) : 0;
}

void link_drop_connection(link_state *link, sock_socket *ended)
{
    if (!link)
        return;
    sock_socket *dropped = nullptr;
    {
        obj_guard g(link);
        if (!ended || link->connection == ended) {
            dropped = link->connection;
            link->connection = nullptr;
        }
        uint8_t n = uint8_t(link->short_failures + 1);
        if (n > 3) {
            link->short_failures = 0;
            link->long_failures++;
        } else {
            link->short_failures = n;
        }
    }
    obj_release(dropped);
}

void link_clear_failures()
{
    obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
    if (!link)
        return;
    obj_guard g(link.get());
    link->short_failures = link->long_failures = 0;
}

void link_refresh_keepalive()
{
    obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
    if (!link)
        return;
    obj_guard g(link.get());
    link->keepalive = clk_now() + KEEPALIVE;
}

int link_check_keepalive(time_t now)
{
    time_t deadline;
    {
        obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
        if (!link)
            return 0;
        obj_guard g(link.get());
        deadline = link->keepalive;
    }
    if (deadline != 0 && deadline < now)
        return link_note_failure(0, now);
    return 0;
}

int link_get_long_failures()
{
    obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
    if (!link)
        return 0;
    obj_guard g(link.get());
    return link->long_failures;
}
