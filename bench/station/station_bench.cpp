// CPU time of one scan-loop pass over 255 devices on a zero-latency simulated radio: the
// discovery of every response (name, class text, SDP records, log lines) and the list pass,
// first with every device new, then with every device known. One device in eight is the
// maker's and refuses its test; the process figure includes those test threads.
#include "bench/common/scenario_255.h"
#include "core/log.h"
#include "core/obj.h"
#include "sim_radio.h"
#include "station/app.h"
#include "station/bt_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace
{

double cpu_ms(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void wait_idle(app_ctx *ctx)
{
    for (;;) {
        bool busy = false;
        {
            obj_guard g(ctx);
            for (bt_device *d = ctx->devices; d && !busy; d = d->next)
                busy = bt_device_flags(d) & BT_DEV_IN_FLIGHT;
        }
        if (!busy)
            return;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

struct sample {
    double thread_ms, process_ms;
};

sample measure(app_ctx *ctx, sim_radio &radio)
{
    double t0 = cpu_ms(CLOCK_THREAD_CPUTIME_ID), p0 = cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
    app_scan_pass(ctx, 0, radio.open_dev(), 0);
    double t1 = cpu_ms(CLOCK_THREAD_CPUTIME_ID);
    wait_idle(ctx);
    return {t1 - t0, cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - p0};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    sim_scenario s;
    std::string error;
    if (!sim_scenario_parse(scenario_255(8), s, error)) {
        fprintf(stderr, "scenario: %s\n", error.c_str());
        return 1;
    }
    char log_path[] = "/tmp/vesk-station-bench-XXXXXX";
    int fd = mkstemp(log_path);
    if (fd < 0)
        return 1;
    close(fd);
    log_open(log_path);

    constexpr int rounds = 15;
    std::vector<double> new_thread, new_process, known_thread, known_process;
    for (int r = 0; r < rounds; r++) {
        sim_radio radio(s);
        auto *ctx = static_cast<app_ctx *>(obj_alloc(sizeof(app_ctx), app_ctx_destroy));
        ctx->inquiry = obj_alloc(BT_INQUIRY_MAX * BT_INQUIRY_RESULT_SIZE, nullptr);
        app_ctx_mark_web(ctx);
        sample a = measure(ctx, radio);
        radio.advance(5);
        sample b = measure(ctx, radio);
        new_thread.push_back(a.thread_ms);
        new_process.push_back(a.process_ms);
        known_thread.push_back(b.thread_ms);
        known_process.push_back(b.process_ms);
        obj_release(ctx);
        log_clear();
    }
    log_close();
    unlink(log_path);

    printf("one pass of 255 simulated devices (zero-latency radio), median of %d:\n", rounds);
    printf("  all new:   %.2f ms CPU on the scan thread, %.2f ms CPU for the process\n",
           median(new_thread), median(new_process));
    printf("  all known: %.2f ms CPU on the scan thread, %.2f ms CPU for the process\n",
           median(known_thread), median(known_process));
    return 0;
}
