#include "station/bt_seam_private.h"

#include <atomic>
#include <bluetooth/rfcomm.h>
#include <csignal>
#include <cstddef>

// The kernel and the adapter hand these records over as raw bytes: their layout is the same on
// the board (AArch64) and on a build machine, and nothing may pad them.
static_assert(sizeof(bdaddr_t) == 6);
static_assert(sizeof(inquiry_info) == 14 && alignof(inquiry_info) == 1);
static_assert(offsetof(inquiry_info, pscan_rep_mode) == 6 &&
              offsetof(inquiry_info, dev_class) == 9 && offsetof(inquiry_info, clock_offset) == 12);
static_assert(sizeof(sockaddr_rc) == 10 && offsetof(sockaddr_rc, rc_bdaddr) == 2 &&
              offsetof(sockaddr_rc, rc_channel) == 8);

namespace
{

// Ends the inquiry's wait: its handler does nothing, and without SA_RESTART the interrupted
// call fails with EINTR.
int deadline_signal()
{
    static const int signo = [] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sigaction(SIGRTMIN, &sa, nullptr);
        return int(SIGRTMIN);
    }();
    return signo;
}

// The kernel waits for the end of an inquiry without a time-out, and an adapter that goes
// down meanwhile never ends it: the wait is cut short well past the inquiry's own length.
int bounded_inquiry(int dev_id, int len, int num_rsp, const uint8_t *lap, inquiry_info **ii,
                    long flags)
{
    bt_deadline deadline(unsigned(len) * 1280 + 5000);
    return hci_inquiry(dev_id, len, num_rsp, lap, ii, flags);
}

constexpr bt_seam real_seam = {
    .hci_get_route = hci_get_route,
    .hci_open_dev = hci_open_dev,
    .hci_inquiry = bounded_inquiry,
    .hci_read_remote_name = hci_read_remote_name,
    .sdp_connect = sdp_connect,
    .sdp_service_search_attr_req = sdp_service_search_attr_req,
    .sdp_close = sdp_close,
    .socket = ::socket,
    .connect = ::connect,
};

std::atomic<const bt_seam *> current{&real_seam};

} // namespace

bt_deadline::bt_deadline(unsigned ms)
{
    int signo = deadline_signal();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    sigevent ev = {};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = signo;
    ev._sigev_un._tid = gettid();
    if (timer_create(CLOCK_MONOTONIC, &ev, &timer_) != 0)
        return;
    itimerspec when = {};
    when.it_value.tv_sec = time_t(ms / 1000);
    when.it_value.tv_nsec = long(ms % 1000) * 1000000;
    armed_ = true;
    timer_settime(timer_, 0, &when, nullptr);
}

bt_deadline::~bt_deadline()
{
    // A signal that fired meanwhile is delivered as this call returns, before any later wait.
    if (armed_)
        timer_delete(timer_);
}

const bt_seam *bt_seam_get()
{
    return current.load(std::memory_order_acquire);
}

void bt_seam_set(const bt_seam *seam)
{
    current.store(seam ? seam : &real_seam, std::memory_order_release);
}
