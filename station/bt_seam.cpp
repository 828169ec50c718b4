#include "station/bt_seam_private.h"

#include <atomic>

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
