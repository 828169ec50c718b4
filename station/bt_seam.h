// The station's only way to the adapter and the kernel's Bluetooth sockets.
//
// One table of function pointers; the default table calls libbluetooth, the kernel and libc.
// Everything above it (the SDP record walk on sdp_record_t lists, ba2str, poll, recv and close
// on the test's socket) is the same code whichever table is in place. The table is chosen
// before any thread of the station starts and read without a lock after that.
#pragma once

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <sys/socket.h>

struct bt_seam {
    int (*hci_get_route)(bdaddr_t *bdaddr);
    int (*hci_open_dev)(int dev_id);
    int (*hci_inquiry)(int dev_id, int len, int num_rsp, const uint8_t *lap, inquiry_info **ii,
                       long flags);
    int (*hci_read_remote_name)(int dd, const bdaddr_t *bdaddr, int len, char *name, int to);
    sdp_session_t *(*sdp_connect)(const bdaddr_t *src, const bdaddr_t *dst, uint32_t flags);
    int (*sdp_service_search_attr_req)(sdp_session_t *session, const sdp_list_t *search,
                                       sdp_attrreq_type_t reqtype, const sdp_list_t *attrid_list,
                                       sdp_list_t **rsp_list);
    int (*sdp_close)(sdp_session_t *session);
    // The RFCOMM socket of a device test and its connect.
    int (*socket)(int domain, int type, int protocol);
    int (*connect)(int fd, const struct sockaddr *addr, socklen_t len);
};

const bt_seam *bt_seam_get();
