// Shared by the packet tests: an independent CRC, the device report of the protocol's examples,
// a log file per test with its lines read back without their time stamps, and a pause counter.
#pragma once

#include "tests/common/test_util.h"
#include "tests/proto/device_report.h"

#include "proto/pkt.h"
#include "proto/pkt_log_private.h"
#include "proto/tok.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/tbl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace proto_test
{

using bytes = std::vector<uint8_t>;

// CRC-16/MODBUS a bit at a time, straight from its definition, without any table.
inline uint16_t ref_crc(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        for (int bit = 0; bit < 8; bit++) {
            bool in = (p[i] >> bit) & 1;
            bool out = crc & 1;
            crc >>= 1;
            if (in != out)
                crc ^= 0xA001;
        }
    }
    return crc;
}

// A packet put together byte by byte: header fields, raw token bytes, and a trailer computed with
// ref_crc over everything before it. len_override replaces the Len field after the fact.
inline bytes frame(const bytes &id, uint8_t cmd, uint16_t mid, const bytes &tokens,
                   uint8_t marker = 0x7E)
{
    uint32_t len = uint32_t(tokens.size()) + 2;
    bytes b{marker};
    b.insert(b.end(), id.begin(), id.end());
    b.push_back(cmd);
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(len >> s));
    b.push_back(uint8_t(mid >> 8));
    b.push_back(uint8_t(mid));
    b.insert(b.end(), tokens.begin(), tokens.end());
    uint16_t crc = ref_crc(b.data(), b.size());
    b.push_back(uint8_t(crc >> 8));
    b.push_back(uint8_t(crc));
    return b;
}

inline bytes token(uint8_t id, uint8_t op, const bytes &payload)
{
    bytes t{id, op, uint8_t(payload.size() >> 8), uint8_t(payload.size())};
    t.insert(t.end(), payload.begin(), payload.end());
    return t;
}

// v as n bytes, most significant first.
inline bytes be(uint64_t v, int n)
{
    bytes b;
    for (int i = n - 1; i >= 0; i--)
        b.push_back(uint8_t(v >> (8 * i)));
    return b;
}

inline bytes text(const std::string &s)
{
    return bytes(s.begin(), s.end());
}

// The parts one after the other.
inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes all;
    for (const bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Payload fields, a comma between each two.
inline bytes fields(std::initializer_list<bytes> parts)
{
    bytes all;
    for (const bytes &p : parts) {
        if (&p != parts.begin())
            all.push_back(',');
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

inline const bytes report_id(report_id_bytes, report_id_bytes + 8);

// The device report for 00:11:22:33:AB:CD, MID 0x1234, both verdicts OK, as it goes on the wire.
inline const bytes report_wire = {
    0x7E, 0x00, 0x08, 0x00, 0x11, 0x22, 0x33, 0xAB, 0xCD, 0xFD, 0x00, 0x00, 0x00, 0x3F, 0x12, 0x34,
    0x38, 0x02, 0x00, 0x12, 0x06, 0x2C, 0x30, 0x30, 0x30, 0x38, 0x30, 0x30, 0x31, 0x31, 0x32, 0x32,
    0x33, 0x33, 0x41, 0x42, 0x43, 0x44, 0x38, 0x02, 0x00, 0x13, 0x07, 0x2C, 0x30, 0x30, 0x3A, 0x31,
    0x31, 0x3A, 0x32, 0x32, 0x3A, 0x33, 0x33, 0x3A, 0x41, 0x42, 0x3A, 0x43, 0x44, 0x38, 0x02, 0x00,
    0x04, 0x28, 0x2C, 0x4F, 0x4B, 0x38, 0x02, 0x00, 0x04, 0x29, 0x2C, 0x4F, 0x4B, 0x3F, 0xEC};

inline bytes wire_of(const pkt_buf *b)
{
    return bytes(b->data, b->data + b->hdr + b->len);
}

// A heap copy for the parser, which takes ownership of what it is given. Exactly sized (an
// empty input gives a block of 0 bytes), so that a sanitizer sees any read past it.
inline uint8_t *heap_copy(const bytes &b)
{
    auto *raw = static_cast<uint8_t *>(malloc(b.size()));
    if (!b.empty())
        memcpy(raw, b.data(), b.size());
    return raw;
}

inline std::vector<pkt_token *> tokens_of(const pkt_packet *p)
{
    std::vector<pkt_token *> v;
    tbl_foreach(
        p->tokens,
        [](void *t, void *u) {
            static_cast<std::vector<pkt_token *> *>(u)->push_back(static_cast<pkt_token *>(t));
        },
        &v);
    return v;
}

inline std::atomic<int> pauses;
inline void count_pause(unsigned ms)
{
    if (ms == 100)
        pauses++;
}

// Opens a fresh log file per test; lines() reads it back without time stamps and without the
// opening line. Pauses are counted, not waited for.
struct LogFile : ::testing::Test {
    temp_dir tmp{"vesk-proto-test"};
    std::string dir, path;

    void SetUp() override
    {
        ASSERT_FALSE(tmp.path().empty());
        dir = tmp.path();
        path = dir + "/log";
        log_open(path.c_str());
        pauses = 0;
        pkt_log_set_pause(count_pause);
    }
    void TearDown() override
    {
        pkt_log_set_pause(nullptr);
        log_close();
        ASSERT_TRUE(tmp.remove());
    }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> v = log_lines(path);
        if (!v.empty() && v.front() == "Starting Application")
            v.erase(v.begin());
        return v;
    }
};

} // namespace proto_test
