// SDP service records of one device: the RFCOMM services that its SDP server lists, each kept
// as a bt_service on the device's chain. A record never changes once the chain is attached.
#pragma once

#include "station/station.h"

// Asks the device's SDP server for every record that uses RFCOMM; returns the first record of
// a new chain (the chain holds one reference per record), or null when there is none. Blocks
// the calling thread for the whole exchange.
[[nodiscard]] bt_service *bt_find_rfcomm_services(bt_device *dev);
void bt_service_destroy(void *service);
// Releases every record of a chain.
void bt_service_release_chain(bt_service *first);
