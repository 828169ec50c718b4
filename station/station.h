// The station's shared records: the application context, the device list's entries and their
// SDP service records, with the flags that the scan loop, the device tests, the web pages, the
// terminal display and the device report read. Needs only core, so that readers of the records
// need not link the station.
//
// Locking: the context's lock guards `devices`, every entry's `next`, `last_web` and
// `scanning`. An entry's lock guards its `flags`, `description`, `last_seen` and `services`
// pointer. A service record never changes once it hangs on its entry. Lock order: context,
// entry, service, then the log.
#pragma once

#include "core/clk.h"

#include <cstdint>

struct MHD_Daemon;
struct bt_device;

struct app_ctx {
    bt_device *devices; // head of the device list; the list holds one reference per entry
    void *inquiry;      // room for 255 inquiry results of 14 bytes, reused by every inquiry
    MHD_Daemon *web;    // the web server, when it runs
    int64_t last_web;   // time of the last scan-page load (the process clock's seconds)
    uint32_t scanning;  // 1 while the scan window is open
};

// Stamps a scan-page load on the process clock; the caller holds the context's lock. The scan
// page and a simulated operator stamp through it alike.
inline void app_ctx_mark_web(app_ctx *ctx)
{
    ctx->last_web = int64_t(clk_now());
}

struct bt_service {
    char *text; // "\t<name> [0x<handle>] RFCOMM <channel>\n", controls of the name as \xHH
    uint32_t handle;
    uint8_t channel;   // RFCOMM channel, 0 when the record names none
    uint32_t protocol; // protocol number of the last protocol the record names (3: RFCOMM)
    bt_service *next;
};

struct bt_device {
    uint8_t addr[6]; // least significant byte first, as BlueZ's bdaddr_t
    // "<name> [<address>] CLASS: <class text>\n", controls of the name as \xHH but for a
    // newline at its end
    char *description;
    char *class_text;
    int64_t last_seen; // seconds since the epoch; left alone while BT_DEV_TESTING is set
    uint32_t flags;
    bt_service *services;
    bt_device *next;
};

// bt_device flags.
inline constexpr uint32_t BT_DEV_MAKER = 0x001;        // one of the maker's devices
inline constexpr uint32_t BT_DEV_PAIRED = 0x002;       // the test's connection was made
inline constexpr uint32_t BT_DEV_CHANGED = 0x004;      // changed since the last list pass
inline constexpr uint32_t BT_DEV_STOP = 0x008;         // the running test is asked to end
inline constexpr uint32_t BT_DEV_TESTING = 0x010;      // a test started and has not reported
inline constexpr uint32_t BT_DEV_OBR_OK = 0x020;       // the test read data from the device
inline constexpr uint32_t BT_DEV_ERROR = 0x040;        // connect, read or service search failed
inline constexpr uint32_t BT_DEV_EXPIRED = 0x080;      // to be removed by this list pass
inline constexpr uint32_t BT_DEV_NAME_UNKNOWN = 0x100; // read the remote name again
// A test job holds the entry: no second test may start, and the entry stays in the list.
inline constexpr uint32_t BT_DEV_IN_FLIGHT = 0x200;

// Protocol number of RFCOMM in bt_service.protocol, and the channel that the test uses.
inline constexpr uint32_t BT_PROTO_RFCOMM = 3;
inline constexpr uint8_t BT_TEST_CHANNEL = 1;
