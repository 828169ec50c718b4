#include "station_fixture.h"

#include "core/log.h"
#include "core/obj.h"
#include "link/link.h"
#include "station/app.h"
#include "station/bt_device.h"
#include "station/bt_service.h"

#include <cstring>

bt_device *make_device(const char *addr_text, const char *name, uint32_t flags)
{
    auto *dev = static_cast<bt_device *>(obj_alloc(sizeof(bt_device), bt_device_destroy));
    bdaddr_t a;
    str2ba(addr_text, &a);
    memcpy(dev->addr, a.b, sizeof dev->addr);
    dev->class_text = strdup("Miscellaneous [] (0x000000)");
    bt_device_set_name(dev, name);
    dev->flags |= flags;
    return dev;
}

bt_service *make_service(uint8_t channel)
{
    auto *s = static_cast<bt_service *>(obj_alloc(sizeof(bt_service), bt_service_destroy));
    s->protocol = BT_PROTO_RFCOMM;
    s->channel = channel;
    return s;
}

namespace
{

// A test's exit step sends its report: here to a local port that refuses at once, so that the
// station's tests neither wait on this machine's DNS nor reach anything.
void aim_link_at_a_closed_port()
{
    static const raw_socket closed(SOCK_STREAM, false); // bound, never listening, kept open
    link_state *link = link_get();
    link_set_address(link, "127.0.0.1", uint16_t(closed.port), nullptr, 0);
    obj_release(link);
}

} // namespace

void station_fixture::SetUp()
{
    aim_link_at_a_closed_port();
    ASSERT_FALSE(tmp.path().empty());
    dir = tmp.path();
    log_path = dir + "/log";
    log_open(log_path.c_str());
    ctx = static_cast<app_ctx *>(obj_alloc(sizeof(app_ctx), app_ctx_destroy));
    ctx->inquiry = obj_alloc(BT_INQUIRY_MAX * BT_INQUIRY_RESULT_SIZE, nullptr);
}

void station_fixture::TearDown()
{
    if (radio)
        radio->release_hangs();
    wait_idle();
    obj_release(ctx);
    radio.reset();
    log_close();
    EXPECT_TRUE(tmp.remove());
}

void station_fixture::start(const std::string &scenario)
{
    sim_scenario s;
    std::string error;
    ASSERT_TRUE(sim_scenario_parse("clock virtual\ninquiry-time 0\n" + scenario, s, error))
        << error;
    radio = std::make_unique<sim_radio>(std::move(s));
}

void station_fixture::open_window()
{
    obj_guard g(ctx);
    app_ctx_mark_web(ctx);
}

void station_fixture::pass()
{
    app_scan_pass(ctx, 0, radio->open_dev(), 0);
}

void station_fixture::wait_idle()
{
    ASSERT_TRUE(settle_until([this] {
        obj_guard g(ctx);
        for (bt_device *d = ctx->devices; d; d = d->next)
            if (bt_device_flags(d) & BT_DEV_IN_FLIGHT)
                return false;
        return true;
    })) << "a device test did not end";
}

bt_device *station_fixture::device(const char *addr_text)
{
    bdaddr_t a;
    str2ba(addr_text, &a);
    obj_guard g(ctx);
    for (bt_device *d = ctx->devices; d; d = d->next)
        if (memcmp(d->addr, a.b, 6) == 0)
            return d;
    return nullptr;
}

std::vector<std::string> station_fixture::log() const
{
    return log_lines(log_path);
}

int station_fixture::count(const std::string &line) const
{
    int n = 0;
    for (const auto &l : log())
        n += l == line;
    return n;
}
