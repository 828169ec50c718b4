// Interface and route helpers: interface ioctls and ethtool requests, the default gateway
// from the kernel's routing table, and the Internet checksum over whole 16-bit words.
//
// Each interface operation opens its own datagram socket for its ioctls and closes it before
// returning; nothing is logged and no errno is handed on. The ethtool operations, set_hwaddr
// and set_up cut a longer name to 15 characters; the text and index readers refuse a name of
// 16 characters or more.
#pragma once

#include <cstdint>

int net_if_ethtool(const char *interface, void *record);
uint32_t net_if_get_eeprom_len(const char *interface); // 0 on failure
uint8_t net_if_get_link(const char *interface);        // 1 up, 0 down, 255 on failure
// Writes data at EEPROM offset 0 with data bytes 1 to 6 replaced by hwaddr. Only the low
// 8 bits of len count; fewer than 7 bytes have no room for the address and are refused.
void net_if_write_eeprom(const char *interface, uint32_t magic, const uint8_t *hwaddr,
                         const uint8_t *data, int len);
int net_if_set_hwaddr(const char *interface, const uint8_t *hwaddr); // Ethernet only
int net_if_set_up(const char *interface, uint8_t up);

int net_if_get_addr_text(const char *interface, char *buf, int size); // 0 for 0.0.0.0
int net_if_get_broadcast_text(const char *interface, char *buf, int size);
// The network address (address AND mask) as text; the prefix length, or -1.
int net_if_get_network_text(const char *interface, char *buf, int size);
int net_if_get_index(const char *interface); // -1 on failure

// The default gateway's dotted text into buf, cut to the low 8 bits of len (a cut text has no
// terminator); buf zeroed when there is no default route. Always -1: buf is the answer.
int net_get_default_gateway(char *buf, int len);

uint16_t net_inet_checksum(const uint16_t *words, int count);
