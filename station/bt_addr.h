// The text of a Bluetooth address, shared by discovery, the service search and the device test.
#pragma once

#include <cstdint>

// The 17-character address text, most significant byte first (ba2str).
void bt_addr_text(const uint8_t addr[6], char out[18]);
