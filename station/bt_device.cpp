// Discovery and naming of devices. Runs on the main thread; the remote-name read and the SDP
// search block it for as long as the adapter and the device take.
#include "station/bt_device.h"

#include "core/clk.h"
#include "core/log.h"
#include "core/obj.h"
#include "core/text.h"
#include "station/bt_addr.h"
#include "station/bt_class.h"
#include "station/bt_seam.h"
#include "station/bt_service.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// What the adapter may fill, and one byte more that always terminates the name.
constexpr int name_max = 248;

const char *line_of(const bt_device *dev)
{
    return dev->description ? dev->description : "\n";
}

int read_name(int dd, const uint8_t addr[6], char (&name)[name_max + 1])
{
    bdaddr_t a;
    memcpy(a.b, addr, sizeof a.b);
    memset(name, 0, sizeof name);
    int r = bt_seam_get()->hci_read_remote_name(dd, &a, name_max, name, 0);
    name[name_max] = '\0';
    return r;
}

bt_device *find_known(app_ctx *ctx, const uint8_t addr[6])
{
    for (bt_device *d = ctx->devices; d; d = d->next)
        if (memcmp(d->addr, addr, sizeof d->addr) == 0)
            return d;
    return nullptr;
}

int refresh_known(int dd, bt_device *dev, int64_t now)
{
    int changes = 0;
    char name[name_max + 1];
    if ((bt_device_flags(dev) & BT_DEV_NAME_UNKNOWN) && read_name(dd, dev->addr, name) >= 0) {
        bt_device_set_name(dev, name);
        bt_device_set_flags(dev, 0, BT_DEV_NAME_UNKNOWN);
        obj_guard g(dev);
        log_message("Updated device %s", line_of(dev));
        changes++;
    }
    {
        obj_guard g(dev);
        if (!(dev->flags & BT_DEV_TESTING))
            dev->last_seen = now;
    }
    if (!dev->services) {
        bt_service *found = bt_find_rfcomm_services(dev);
        obj_guard g(dev);
        dev->services = found;
        changes++;
    }
    return changes;
}

int add_new(int dd, app_ctx *ctx, const inquiry_info &info, int64_t now)
{
    auto *dev = static_cast<bt_device *>(obj_alloc(sizeof(bt_device), bt_device_destroy));
    if (!dev)
        return 0;
    dev->last_seen = now;
    char text[248];
    bt_class_text(info.dev_class, text, sizeof text);
    dev->class_text = strdup(text);
    if (!dev->class_text) {
        obj_release(dev);
        return 0;
    }
    memcpy(dev->addr, info.bdaddr.b, sizeof dev->addr);

    char name[name_max + 1];
    if (read_name(dd, dev->addr, name) < 0) {
        dev->flags |= BT_DEV_NAME_UNKNOWN;
        bt_device_set_name(dev, "Unknown");
    } else {
        bt_device_set_name(dev, name);
    }
    log_message("Discovered device %s", line_of(dev));
    dev->services = bt_find_rfcomm_services(dev);

    obj_guard g(ctx);
    if (bt_device *head = ctx->devices) {
        obj_guard h(head);
        dev->next = head;
        ctx->devices = dev;
    } else {
        ctx->devices = dev;
    }
    return 1;
}

} // namespace

uint32_t bt_device_flags(bt_device *dev)
{
    obj_guard g(dev);
    return dev->flags;
}

void bt_device_set_flags(bt_device *dev, uint32_t set, uint32_t clear)
{
    obj_guard g(dev);
    dev->flags = (dev->flags & ~clear) | set;
}

int bt_device_seen(int dd, app_ctx *ctx, const void *response)
{
    inquiry_info info;
    static_assert(sizeof info == BT_INQUIRY_RESULT_SIZE);
    memcpy(&info, response, sizeof info);
    int64_t now = clk_now();

    if (bt_device *known = find_known(ctx, info.bdaddr.b)) {
        auto hold = obj_ref<bt_device>::retain(known);
        return hold ? refresh_known(dd, known, now) : 0;
    }
    return add_new(dd, ctx, info, now);
}

void bt_device_set_name(bt_device *dev, const char *name)
{
    char addr_text[18];
    bt_addr_text(dev->addr, addr_text);
    {
        obj_guard g(dev);
        const char *cls = dev->class_text ? dev->class_text : "";
        // The log, the pages and the terminal show the line as it is, so the name goes in
        // with its controls made visible; the newline that ends the maker's names stays.
        size_t named = util_safe_text_length(name, true);
        size_t n = named + strlen(addr_text) + strlen(cls) + 13;
        // Without room for the new line the old one stays.
        if (auto *line = static_cast<char *>(malloc(n))) {
            char *rest = util_safe_text(line, name, true);
            snprintf(rest, n - named, " [%s] CLASS: %s\n", addr_text, cls);
            free(dev->description);
            dev->description = line;
        }
    }
    // The maker's devices are named by a beginning of "btdremol-" and the last two groups of
    // their own address, the newline included; the name is matched as it came.
    char pattern[16];
    snprintf(pattern, sizeof pattern, "btdremol-%04X\n",
             unsigned(dev->addr[1] << 8 | dev->addr[0]));
    if (strncmp(pattern, name, strlen(name)) == 0)
        bt_device_set_flags(dev, BT_DEV_MAKER, 0);
}

void bt_device_destroy(void *p)
{
    auto *dev = static_cast<bt_device *>(p);
    if (dev->description) {
        log_message("Releasing device %s", dev->description);
        free(dev->description);
    }
    dev->description = nullptr;
    free(dev->class_text);
    dev->class_text = nullptr;
    bt_service_release_chain(dev->services);
    dev->services = nullptr;
}
