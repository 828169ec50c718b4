// The device report for 00:11:22:33:AB:CD, MID 0x1234, both verdicts OK, built the way the
// station builds it; shared by the packet tests and the benchmark.
#pragma once

#include "proto/pkt.h"
#include "proto/tok.h"

#include <cstring>

inline constexpr uint8_t report_id_bytes[8] = {0x00, 0x08, 0x00, 0x11, 0x22, 0x33, 0xAB, 0xCD};

inline pkt_packet *make_report()
{
    pkt_packet *p = pkt_create();
    if (!p)
        return nullptr;
    memcpy(p->id, report_id_bytes, sizeof report_id_bytes);
    p->cmd = -3;
    p->mid = 0x1234;
    pkt_add_id_text(p, TOK_REPORT, TOK_REPORT_OP, 6);
    pkt_add_code_text_opt(p, TOK_REPORT, TOK_REPORT_OP, 7, "00:11:22:33:AB:CD");
    pkt_add_status(p, 40, 1);
    pkt_add_status(p, 41, 1);
    return p;
}
