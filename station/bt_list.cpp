// The list pass: runs on the main thread with the context's lock held from start to end.
// Each entry's decision rests on one reading of its flags: test threads change them at any
// time. No entry's lock is held across bttest_start, which retains the entry.
#include "station/bt_device.h"

#include "core/clk.h"
#include "core/obj.h"
#include "station/bttest.h"
#include "ui/tui.h"

namespace
{

constexpr int64_t fresh_age = 30;
constexpr int64_t stale_age = 60;
constexpr int64_t connected_age = 180;

// Starts a test, or settles a verdict the test left; returns the changes counted.
int fresh_rule(bt_device *dev, uint32_t f)
{
    // One test per device: an attempt still in flight is left to end first.
    if (dev->services && !(f & (BT_DEV_PAIRED | BT_DEV_OBR_OK | BT_DEV_IN_FLIGHT))) {
        bttest_start(dev);
        return 1;
    }
    if ((f & BT_DEV_PAIRED) && (f & (BT_DEV_OBR_OK | BT_DEV_ERROR))) {
        bt_device_set_flags(dev, 0, BT_DEV_PAIRED);
        return 1;
    }
    if (f & BT_DEV_CHANGED) {
        bt_device_set_flags(dev, 0, BT_DEV_CHANGED);
        return 1;
    }
    return 0;
}

int age_entry(bt_device *dev, int64_t now)
{
    uint32_t f = bt_device_flags(dev);
    int64_t age = now - dev->last_seen;
    if (!(f & BT_DEV_MAKER)) {
        if (age > stale_age)
            bt_device_set_flags(dev, BT_DEV_EXPIRED, 0);
        return 0;
    }
    if (age <= fresh_age)
        return fresh_rule(dev, f);
    if ((f & BT_DEV_PAIRED) && (f & BT_DEV_ERROR)) {
        bt_device_set_flags(dev, BT_DEV_STOP, 0);
        return 1;
    }
    if (age <= stale_age)
        return fresh_rule(dev, f);
    if (!(f & BT_DEV_PAIRED)) {
        bt_device_set_flags(dev, BT_DEV_EXPIRED, 0);
        return 1;
    }
    // A connected test waits for its data up to this age.
    if (age <= connected_age)
        return fresh_rule(dev, f);
    bt_device_set_flags(dev, BT_DEV_STOP, 0);
    return 1;
}

// Removes expired entries and lets newer entries move up: an entry seen after the head goes to
// the front, any other passes an older predecessor by one place.
int remove_and_order(app_ctx *ctx)
{
    int count = 0;
    bt_device *prev = nullptr;
    bt_device *cur = ctx->devices;
    while (cur) {
        uint32_t f = bt_device_flags(cur);
        if (f & BT_DEV_EXPIRED) {
            if (f & BT_DEV_IN_FLIGHT) {
                // The test holds the entry until its report; a later pass removes it.
                bt_device_set_flags(cur, BT_DEV_STOP, 0);
                prev = cur;
                cur = cur->next;
                continue;
            }
            bt_device *next = cur->next;
            (prev ? prev->next : ctx->devices) = next;
            cur->next = nullptr;
            obj_release(cur);
            count++;
            cur = next;
            continue;
        }
        if (!prev) {
            prev = cur;
            cur = cur->next;
            continue;
        }
        if (cur->last_seen > ctx->devices->last_seen) {
            prev->next = cur->next;
            cur->next = ctx->devices;
            ctx->devices = cur;
            count++;
            cur = prev->next;
            continue;
        }
        if (bt_device *next = cur->next; next && next->last_seen > cur->last_seen) {
            prev->next = next;
            cur->next = next->next;
            next->next = cur;
            count++;
            cur = next;
            continue;
        }
        prev = cur;
        cur = cur->next;
    }
    return count;
}

short draw_pair(uint32_t f)
{
    if (f & BT_DEV_ERROR)
        return TUI_RED;
    if (f & BT_DEV_OBR_OK)
        return TUI_GREEN;
    if (f & BT_DEV_PAIRED)
        return TUI_YELLOW;
    return TUI_WHITE;
}

// The maker's devices on the terminal, each with its RFCOMM services indented under it;
// returns how many were handed to it (it keeps those past its last row off the screen).
// Called with the context locked.
int draw_devices(app_ctx *ctx)
{
    int drawn = 0;
    for (bt_device *dev = ctx->devices; dev; dev = dev->next) {
        obj_guard g(dev);
        if (!(dev->flags & BT_DEV_MAKER) || (dev->flags & BT_DEV_EXPIRED))
            continue;
        tui_set_pair(draw_pair(dev->flags));
        if (dev->description)
            tui_print(dev->description);
        for (bt_service *s = dev->services; s; s = s->next) {
            obj_guard gs(s);
            if (s->text && s->protocol == BT_PROTO_RFCOMM)
                tui_print(s->text);
        }
        drawn++;
    }
    return drawn;
}

} // namespace

int bt_devices_update(app_ctx *ctx, int changes, int draw)
{
    int count = 0;
    int drawn = -1; // -1: no redraw
    {
        obj_guard g(ctx);
        int64_t now = clk_now();
        for (bt_device *dev = ctx->devices; dev; dev = dev->next)
            count += age_entry(dev, now);
        count += remove_and_order(ctx);
        if (draw && (changes || count)) {
            tui_clear();
            drawn = draw_devices(ctx);
        }
    }
    if (drawn == 0)
        tui_show_no_devices();
    if (drawn >= 0)
        tui_refresh();
    return count;
}
