// Link packets: the packet, token and encoded-buffer records, their wire form with the CRC-16
// trailer, the parser of received bytes and the log lines of both.
//
// Wire form (every number big-endian): marker 0x7E, 8-byte device id, CMD, Len (32 bits: token
// bytes + 2), MID (16 bits), the tokens (id, op, 16-bit length, payload), CRC-16/MODBUS of
// everything before it, high byte first. A packet is 16 + Len bytes, at most 65535.
//
// A packet owns a one-bucket token table keyed by (id << 24) | index, so its tokens are encoded,
// logged and handed out by id, smallest first, and in the order added within one id.
// Locking: only pkt_encode and pkt_log take the packet's lock, to replace or take a reference to
// its encoded buffer. A packet is filled by one thread before anyone else sees it; after that its
// header fields and tokens are only read. The token table locks its own bucket.
#pragma once

#include <cstddef>
#include <cstdint>

struct tbl_table;

inline constexpr uint8_t PKT_MARKER = 0x7E;
inline constexpr uint8_t PKT_HDR_SIZE = 16;
inline constexpr uint32_t PKT_MAX_SIZE = 65535;

// The device id of a Bluetooth device, as a number (the packet holds it big-endian): 0x0008 and
// the address, most significant byte first. addr is the address as the Bluetooth stack keeps
// it, least significant byte first.
inline constexpr uint64_t PKT_ID_BT = 0x0008;
// The kind of the system's own messages: 0x00FF and the 48-bit Ethernet address of its interface.
inline constexpr uint16_t PKT_ID_OWN = 0x00FF;
constexpr uint64_t pkt_device_id_bt(const uint8_t addr[6])
{
    uint64_t id = PKT_ID_BT;
    for (int i = 5; i >= 0; i--)
        id = id << 8 | addr[i];
    return id;
}

struct pkt_buf {
    uint8_t *data; // the whole packet, header to trailer; owned
    uint32_t len;  // the header's Len: token bytes + 2
    uint16_t csum; // the trailer, host order
    uint8_t hdr;   // header size, 16
    uint8_t *cur;  // next byte to write (encoding) or read (parsing)
};

struct pkt_packet {
    uint8_t marker;
    uint8_t id[8]; // device id in wire order
    int8_t cmd;
    uint16_t mid; // host order
    tbl_table *tokens;
    pkt_buf *encoded; // replaced by every encoding; the received bytes of a parsed packet
};

struct pkt_token {
    uint8_t id;
    uint8_t op;
    uint8_t *data; // len bytes and a NUL that is not part of the payload
    uint16_t len;
    uint16_t index; // tokens the packet held when this one was added (arrival order)
};

// One pointer, neither retained nor released.
struct pkt_box {
    void *p;
};

// Records.
[[nodiscard]] pkt_packet *pkt_create();
void pkt_destroy(void *packet);
[[nodiscard]] int pkt_add_token(pkt_packet *p, uint8_t id, uint8_t op, const void *data,
                                uint16_t len);
void tok_destroy(void *token);
uint32_t tok_key_cb(const void *token, int is_key);
[[nodiscard]] pkt_token *tok_create_empty();
// Takes ownership of raw (a malloc'd block or null) even when it fails.
[[nodiscard]] pkt_buf *pkt_buf_create(uint8_t *raw);
void pkt_buf_destroy(void *buf);
[[nodiscard]] pkt_box *pkt_box_create(void *p);

// Wire form. pkt_encode hands the caller its own reference to the new buffer (the packet keeps
// another); null for a null packet, on allocation failure, or when the packet would exceed
// PKT_MAX_SIZE bytes.
[[nodiscard]] pkt_buf *pkt_encode(pkt_packet *p);
void tok_size_cb(void *token, void *len);
void tok_write_cb(void *token, void *buf);
// CRC of the first length - 2 bytes (length counts a whole packet, trailer included); 0xFFFF
// without reading anything when length is below 3.
uint16_t pkt_crc16_modbus(const void *data, size_t length);
int pkt_buf_verify_crc(const pkt_buf *b);
void pkt_crc16_table_free();

// Parsing. raw (a malloc'd block of length bytes) always passes to the parser: it is freed on
// failure and kept as the packet's encoded form on success. With a request, the reply must carry
// the request's marker, MID and device id. Failures are logged and give null.
[[nodiscard]] pkt_packet *pkt_parse(const pkt_packet *request, uint8_t *raw, uint16_t length);

// Log lines of a packet (header, one per token, hex dump) from its encoded form, paced by
// 100 ms pauses; a packet never encoded logs nothing.
void pkt_log(pkt_packet *p);
void tok_log_cb(void *token, void *user);
