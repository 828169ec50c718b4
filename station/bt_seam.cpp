#include "station/bt_seam_private.h"

#include <atomic>
#include <bluetooth/rfcomm.h>
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

constexpr bt_seam real_seam = {
    .hci_get_route = hci_get_route,
    .hci_open_dev = hci_open_dev,
    .hci_inquiry = hci_inquiry,
    .hci_read_remote_name = hci_read_remote_name,
    .sdp_connect = sdp_connect,
    .sdp_service_search_attr_req = sdp_service_search_attr_req,
    .sdp_close = sdp_close,
    .socket = ::socket,
    .connect = ::connect,
    .time = ::time,
    .sleep = ::sleep,
    .usleep = ::usleep,
};

std::atomic<const bt_seam *> current{&real_seam};

} // namespace

const bt_seam *bt_seam_get()
{
    return current.load(std::memory_order_acquire);
}

void bt_seam_set(const bt_seam *seam)
{
    current.store(seam ? seam : &real_seam, std::memory_order_release);
}
