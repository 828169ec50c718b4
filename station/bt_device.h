// The device list's entries: discovery of an inquiry response, naming and the maker rule, and
// the list pass that ages, tests, removes and orders the entries.
//
// Only the main thread changes the list, always under the context's lock; it alone also walks
// the list without that lock to find a known device. An entry's flags are read and written
// under the entry's lock only; no entry's lock is held across a call that retains the entry.
#pragma once

#include "station/station.h"

#include <cstddef>

// The 14-byte inquiry result as BlueZ returns it.
inline constexpr size_t BT_INQUIRY_RESULT_SIZE = 14;
inline constexpr int BT_INQUIRY_MAX = 255;

// Records one inquiry response (dd: the open adapter); returns the number of changes: 0, 1
// or 2. Main thread only.
int bt_device_seen(int dd, app_ctx *ctx, const void *response);
// Sets the name: rebuilds the description and applies the maker rule.
void bt_device_set_name(bt_device *dev, const char *name);
void bt_device_destroy(void *dev);

// One pass over the list after an inquiry: ageing, test start and stop, removal and order.
// `changes` is what the discovery counted, `draw` the display flag. Returns the changes that
// this pass counted. Main thread only.
int bt_devices_update(app_ctx *ctx, int changes, int draw);

uint32_t bt_device_flags(bt_device *dev);
void bt_device_set_flags(bt_device *dev, uint32_t set, uint32_t clear);
