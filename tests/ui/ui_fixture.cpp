#include "ui_fixture.h"

#include "core/log.h"
#include "core/obj.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

void service_destroy(void *p)
{
    auto *s = static_cast<bt_service *>(p);
    free(s->text);
    obj_release(s->next);
}

void device_destroy(void *p)
{
    auto *d = static_cast<bt_device *>(p);
    free(d->description);
    free(d->class_text);
    obj_release(d->services);
}

void ctx_destroy(void *p)
{
    auto *ctx = static_cast<app_ctx *>(p);
    for (bt_device *d = ctx->devices; d;) {
        bt_device *next = d->next;
        obj_release(d);
        d = next;
    }
}

} // namespace

app_ctx *make_ctx()
{
    return static_cast<app_ctx *>(obj_alloc(sizeof(app_ctx), ctx_destroy));
}

bt_device *add_device(app_ctx *ctx, const char *description, uint32_t flags,
                      const std::vector<test_service> &services)
{
    auto *d = static_cast<bt_device *>(obj_alloc(sizeof(bt_device), device_destroy));
    d->description = strdup(description);
    d->flags = flags;
    bt_service **tail = &d->services;
    for (const auto &t : services) {
        auto *s = static_cast<bt_service *>(obj_alloc(sizeof(bt_service), service_destroy));
        s->text = t.text ? strdup(t.text) : nullptr;
        s->protocol = t.protocol;
        *tail = s;
        tail = &s->next;
    }
    bt_device **at = &ctx->devices;
    while (*at)
        at = &(*at)->next;
    *at = d;
    return d;
}

std::string read_body(reader_fn reader, web_page *page, size_t size, uint64_t pos)
{
    std::string body;
    std::vector<char> buf(size + 16, '\x7f');
    for (;;) {
        ssize_t n = reader(page, pos, buf.data(), size);
        if (n == -1)
            break;
        EXPECT_GT(n, 0) << "a reader never returns 0";
        EXPECT_LE(size_t(n), size) << "nor writes more than it may";
        if (n <= 0 || size_t(n) > size || body.size() > 1000000)
            break;
        EXPECT_EQ(buf[size], '\x7f') << "a byte beyond the buffer changed";
        body.append(buf.data(), size_t(n));
        pos += uint64_t(n);
    }
    return body;
}

void ui_fixture::SetUp()
{
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_cwd = cwd;
    ASSERT_FALSE(tmp.path().empty());
    dir = tmp.path();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    log_path = dir + "/log";
    log_open(log_path.c_str());
    ctx = make_ctx();
}

void ui_fixture::TearDown()
{
    EXPECT_EQ(obj_release(ctx), 0) << "a page kept its reference to the context";
    log_close();
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
    EXPECT_TRUE(tmp.remove());
}
