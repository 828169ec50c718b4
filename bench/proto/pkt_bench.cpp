// Packet figures: encode + parse of the device report in microseconds per round trip, and CRC-16
// throughput in MB/s over a 64 KiB buffer. Each figure is the best of several timed runs.
#include "proto/pkt.h"
#include "tests/proto/device_report.h"

#include "core/obj.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

template <class F>
double best_seconds(int runs, F &&f)
{
    double best = 1e9;
    for (int r = 0; r < runs; r++) {
        auto t0 = clock_type::now();
        f();
        double s = std::chrono::duration<double>(clock_type::now() - t0).count();
        if (s < best)
            best = s;
    }
    return best;
}

} // namespace

int main()
{
    pkt_packet *report = make_report();
    if (!report)
        return 1;

    const int trips = 20000;
    int failed = 0;
    double s = best_seconds(5, [&] {
        for (int i = 0; i < trips; i++) {
            pkt_buf *b = pkt_encode(report);
            if (!b) {
                failed++;
                continue;
            }
            size_t n = size_t(b->hdr) + b->len;
            auto *raw = static_cast<uint8_t *>(malloc(n));
            memcpy(raw, b->data, n);
            obj_release(b);
            pkt_packet *back = pkt_parse(report, raw, uint16_t(n));
            if (!back)
                failed++;
            obj_release(back);
        }
    });
    printf("device report encode+parse: %.3f us per round trip (%d failed)\n", s * 1e6 / trips,
           failed);

    std::vector<uint8_t> data(64 * 1024 + 2);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 131 + 7);
    const int passes = 200;
    volatile uint16_t sink = 0;
    s = best_seconds(5, [&] {
        for (int i = 0; i < passes; i++)
            sink = sink ^ pkt_crc16_modbus(data.data(), data.size());
    });
    printf("crc16: %.1f MB/s over a 64 KiB buffer\n", 64.0 * 1024 * passes / s / 1e6);

    obj_release(report);
    return failed ? 1 : 0;
}
