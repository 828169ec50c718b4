// Scan pages: the device list of the application context, one block per device, coloured by
// the stylesheet through a status class. Loading one keeps the scan window open.
//
// From its first reader call until its response is freed a scan page holds a reference to the
// context and the context's lock, so the list neither changes nor reorders while it is sent;
// the connection time-out of the server bounds how long a client that stops reading can hold
// it. Lock order: context, device, service; a device's lock is held while the page's own lock
// is taken for the section set.
#pragma once

#include "station/station.h"
#include "ui/web_page.h"

#include <cstdint>
#include <sys/types.h>

struct MHD_Connection;

struct web_scan_state {
    app_ctx *context;  // set by the handler without a reference; held (referenced and locked)
                       // from the first reader call on when `held` is set
    bt_device *cursor; // the device emitted next, one reference
    uint8_t show_all;  // every device, not only the maker's
    uint8_t held;
    // The page's connection, whose time-out is lifted while the page waits for the context's
    // lock; none outside a server.
    MHD_Connection *connection;
};

inline constexpr char WEB_SCAN_TITLE[] = "Vesk Bluetooth Dremol Birthing/Testing App (Scan)";
inline constexpr char WEB_NO_DEVICE[] = "<span class=nodevice>No devices detected !!</span>";

// A state for the context, or null when it cannot be made.
[[nodiscard]] web_scan_state *web_scan_state_create(app_ctx *context);
void web_scan_state_destroy(void *state);

ssize_t web_scan_reader_cb(void *page, uint64_t pos, char *buf, size_t max);
// Emits device when the page shows it and consumes the caller's reference; returns the next
// device with a reference for the caller, or null. With no room, hands device back as it is.
[[nodiscard]] bt_device *web_emit_device(web_page *page, bt_device *device);
// The device piece in one allocation of exactly its length: the opening with the status
// class, the description, the RFCOMM services' texts, the closing; remote texts escaped.
// Called with the device's lock held; null when it cannot be made.
[[nodiscard]] web_chunk *web_format_device(const char *description, bt_service *services,
                                           const char *status_class);
