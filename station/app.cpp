#include "station/app.h"

#include "core/clk.h"
#include "core/log.h"
#include "core/obj.h"
#include "core/thr.h"
#include "core/util.h"
#include "link/link.h"
#include "station/app_private.h"
#include "station/bt_device.h"
#include "station/bt_seam.h"
#include "ui/tui.h"
#include "ui/web.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The scan page keeps the scan window open this long after its last load.
constexpr int64_t scan_window = 179;
constexpr int inquiry_length = 4; // units of 1.28 s
constexpr unsigned closed_pause = 4;
// An adapter that is down or gone fails every inquiry at once.
constexpr unsigned failed_pause = 1;

app_loop_hook_fn loop_hook;
void *loop_hook_user;

// Start-up failed after the context exists. The loop's reference, when taken, stays: a web
// server already started keeps serving until the process ends.
int tear_down(app_ctx *ctx)
{
    obj_release(ctx);
    thr_runtime_stop(1);
    log_close();
    return 1;
}

// Opens or closes the scan window; returns whether it is open.
uint32_t check_window(app_ctx *ctx)
{
    obj_guard g(ctx);
    int64_t now = clk_now();
    if (ctx->last_web + scan_window < now) {
        if (ctx->scanning == 1) {
            log_message("Scaning Timeout\n");
            ctx->scanning = 0;
        }
    } else if (ctx->scanning == 0) {
        log_message("Scaning Start\n");
        ctx->scanning = 1;
    }
    return ctx->scanning;
}

} // namespace

void app_set_loop_hook(app_loop_hook_fn fn, void *user)
{
    loop_hook = fn;
    loop_hook_user = user;
}

void app_parse_options(int argc, char **argv, app_options *opts)
{
    *opts = {0, 0, 9000, nullptr, nullptr};
    const char *log_path = "/tmp/vesk_bt-log";
    const char *web_root = VESK_WEB_ROOT;
    optind = 0;
    for (int c; (c = getopt(argc, argv, "dnp:l:w:")) != -1;) {
        switch (c) {
        case 'd':
            opts->daemon = 1;
            break;
        case 'n':
            opts->display = 1;
            break;
        case 'p':
            opts->port = int(strtol(optarg, nullptr, 10));
            break;
        case 'l':
            log_path = optarg;
            break;
        case 'w':
            web_root = optarg;
            break;
        default:
            break;
        }
    }
    // A daemon has no terminal to draw on.
    if (opts->daemon)
        opts->display = 0;
    opts->log_path = strdup(log_path);
    opts->web_root = strdup(web_root);
}

void app_ctx_destroy(void *p)
{
    auto *ctx = static_cast<app_ctx *>(p);
    for (bt_device *dev = ctx->devices; dev;) {
        bt_device *next = dev->next;
        dev->next = nullptr;
        obj_release(dev);
        dev = next;
    }
    ctx->devices = nullptr;
    if (ctx->web) {
        web_stop(ctx->web);
        ctx->web = nullptr;
    }
    obj_release(ctx->inquiry);
    ctx->inquiry = nullptr;
}

int app_run(int display, int port, const char *log_path)
{
    auto *ctx = static_cast<app_ctx *>(obj_alloc(sizeof(app_ctx), app_ctx_destroy));
    if (!ctx) {
        printf("Memory allocation error !!");
        return 1;
    }
    ctx->last_web = 0;
    ctx->scanning = 0;
    (void)thr_runtime_init();
    util_seed_random();
    log_open(log_path);
    link_start(LINK_HOST_LABEL, LINK_SERVICE_DOMAIN, LINK_PORT);
    // Without a server the station runs all the same; its scan window then never opens.
    ctx->web = web_start(ctx, port);

    if (obj_retain(ctx) == 0) {
        log_message("Get application data ref failed\n");
        return tear_down(ctx);
    }
    ctx->inquiry = obj_alloc(BT_INQUIRY_MAX * BT_INQUIRY_RESULT_SIZE, nullptr);
    if (!ctx->inquiry) {
        log_message("Memory allocation error (ilist) !!\n");
        return tear_down(ctx);
    }

    const bt_seam *bt = bt_seam_get();
    int dev_id;
    do {
        clk_sleep(1);
        dev_id = bt->hci_get_route(nullptr);
    } while (dev_id < 0);
    int dd = bt->hci_open_dev(dev_id);
    if (dd < 0) {
        int err = errno;
        log_message("HCI DEV / SCOCK Faile HCI:%i SOCK: %i\n", dev_id, dd);
        errno = err;
        perror("opening HCI socket");
        return tear_down(ctx);
    }
    if (display)
        tui_init();
    if (loop_hook)
        loop_hook(ctx, loop_hook_user);
    for (;;)
        app_scan_pass(ctx, dev_id, dd, display);
}

void app_scan_pass(app_ctx *ctx, int dev_id, int dd, int display)
{
    const bt_seam *bt = bt_seam_get();
    if (!check_window(ctx)) {
        clk_sleep(closed_pause);
        return;
    }
    auto *results = static_cast<inquiry_info *>(ctx->inquiry);
    int n = bt->hci_inquiry(dev_id, inquiry_length, BT_INQUIRY_MAX, nullptr, &results,
                            IREQ_CACHE_FLUSH);
    if (n < 0) {
        clk_sleep(failed_pause);
        return;
    }
    if (n > BT_INQUIRY_MAX)
        n = BT_INQUIRY_MAX;
    int changes = 0;
    for (int i = 0; i < n; i++)
        changes += bt_device_seen(dd, ctx, &results[i]);
    bt_devices_update(ctx, changes, display);
}
