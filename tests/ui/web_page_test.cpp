// The pages as the library reads them: their bytes, their streaming over buffers of every size,
// and what they hold of the context.
#include "core/log.h"
#include "core/obj.h"
#include "tests/common/test_clock.h"
#include "ui/web_files.h"
#include "ui/web_private.h"
#include "ui/web_scan.h"
#include "ui_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

const std::string head =
    "<html><head><link rel=stylesheet type=text/css href=style.css /><script "
    "type=text/javascript src=script.js></script></head><body onload=page_loaded()><title>BT "
    "Dremol Birthing App</title><div id=heading><span class=heading_text>";
const std::string menu_part =
    "</span></div><div id=container><div id=menu><A id=menu_scan href=scan>BT Dremol</A><BR><A "
    "id=menu_scanall href=scanall>All Devices</A><BR><A id=menu_log href=log>Log</A><BR><A "
    "id=menu_clearlog href=clearlog>Clear Log</A></div><div id=content>";
const std::string footer = "</div></div></div></body></html>";
const std::string notice = "<span class=nodevice>No devices detected !!</span>";

std::string page_head(const std::string &title, const std::string &div)
{
    return head + title + menu_part + div;
}

web_page *scan_page(const char *id, app_ctx *ctx)
{
    web_page *page = web_page_create(id);
    page->state = web_scan_state_create(ctx);
    return page;
}

web_page *file_page(const char *path)
{
    web_page *page = web_page_create(path);
    page->state = web_file_create(path);
    return page;
}

// The body of a fresh page read with buffers of size bytes; the page is freed after.
std::string body(reader_fn reader, web_page *page, size_t size = 65536)
{
    std::string b = read_body(reader, page, size);
    web_page_free_cb(page);
    return b;
}

// The device pieces of a scan page: what lies between its div and its footer.
std::string listing(const std::string &page_body, const std::string &div)
{
    size_t at = page_body.find(div);
    if (at == std::string::npos || page_body.size() < at + div.size() + footer.size())
        return "<no listing>";
    at += div.size();
    return page_body.substr(at, page_body.size() - footer.size() - at);
}

using Pages = ui_fixture;

TEST(PageHead, FixedTextsAreByteForByte)
{
    EXPECT_EQ(head.size(), 228u);
    EXPECT_EQ(menu_part.size(), 44u + 176 + 22);
    EXPECT_EQ(footer.size(), 32u);
    EXPECT_EQ(notice.size(), 50u);
}

TEST_F(Pages, EmptyScanPageIsHeadNoticeAndFooter)
{
    held_clock clock;
    int64_t before = clk_now();
    std::string b = body(web_scan_reader_cb, scan_page("scan", ctx));
    std::string start = page_head(WEB_SCAN_TITLE, "<div id=scan_div>");
    EXPECT_EQ(start.size(), 536u);
    EXPECT_EQ(b, start + notice + footer);
    EXPECT_GE(ctx->last_web, before) << "the load keeps the scan window open";
    EXPECT_EQ(ctx->last_web, clock.now()) << "stamped on the process clock";
    EXPECT_EQ(obj_refcount(ctx), 1);
}

TEST_F(Pages, FirstCallOfHundredBytesThenTheRestOfThePiece)
{
    web_set_log_page_path("missing");
    web_page *page = web_page_create("log");
    char buf[1024];
    ASSERT_EQ(web_log_reader_cb(page, 0, buf, 100), 100);
    EXPECT_EQ(std::string(buf, 100), head.substr(0, 100));
    ssize_t n = web_log_reader_cb(page, 100, buf, sizeof buf);
    ASSERT_GT(n, 128);
    EXPECT_EQ(std::string(buf, size_t(n)).substr(0, 128 + 10), head.substr(100) + "Vesk Bluet");
    web_page_free_cb(page);
}

// Every page, read with every buffer size from one byte up, gives the same bytes.
TEST_F(Pages, EveryBufferSizeGivesTheSameBody)
{
    add_device(ctx, "btdremol-0001 [00:1A:7D:DA:00:01] CLASS: Phone <\"&'>\n",
               BT_DEV_MAKER | BT_DEV_OBR_OK, {{"\tSerial Port [0x10005] RFCOMM 1\n", 3}});
    add_device(ctx, "Headphones [00:0D:44:AA:BB:CC] CLASS: Audio\n", 0);
    add_device(ctx, "btdremol-0002 [00:1A:7D:DA:00:02] CLASS: Phone\n", BT_DEV_MAKER,
               {{"\tSerial Port [0x10006] RFCOMM 1\n", 3}, {"\tOBEX [0x10007] RFCOMM 9\n", 3}});
    std::string long_line(600, 'x');
    long_line[300] = '<';
    write_file("weblog", "first line & more\n" + long_line + "\nlast\n");
    web_set_log_page_path("weblog");
    write_file("style.css", "body { color: red; }\n" + std::string(700, '/') + "\n.x {}");

    struct page_case {
        const char *what;
        reader_fn reader;
        std::function<web_page *()> make;
    };
    const page_case cases[] = {
        {"scan", web_scan_reader_cb, [&] { return scan_page("scan", ctx); }},
        {"scanall", web_scan_reader_cb, [&] { return scan_page("scanall", ctx); }},
        {"log", web_log_reader_cb, [] { return web_page_create("log"); }},
        {"clearlog", web_clearlog_reader_cb, [] { return web_page_create("clearlog"); }},
        {"style.css", web_file_reader_cb, [] { return file_page("style.css"); }},
    };
    for (const auto &c : cases) {
        std::string whole = body(c.reader, c.make());
        ASSERT_GT(whole.size(), 600u) << c.what; // more than a head
        for (size_t size = 1; size <= whole.size() + 1; size++) {
            std::string b = body(c.reader, c.make(), size);
            ASSERT_EQ(b, whole) << c.what << " read " << size << " bytes at a time";
        }
    }
}

TEST_F(Pages, StatusClassesAndWhichDevicesShow)
{
    add_device(ctx, "a\n", BT_DEV_MAKER | BT_DEV_ERROR | BT_DEV_OBR_OK | BT_DEV_PAIRED);
    add_device(ctx, "b\n", BT_DEV_MAKER | BT_DEV_OBR_OK | BT_DEV_PAIRED);
    add_device(ctx, "c\n", BT_DEV_MAKER | BT_DEV_PAIRED);
    add_device(ctx, "d\n", BT_DEV_MAKER | BT_DEV_TESTING | BT_DEV_CHANGED);
    add_device(ctx, "e\n", BT_DEV_OBR_OK);
    add_device(ctx, "f\n", BT_DEV_MAKER | BT_DEV_EXPIRED);
    add_device(ctx, "g\n", BT_DEV_EXPIRED);
    const std::string makers = "<span class=deverror>a\n</span><span class=devok>b\n</span>"
                               "<span class=devconnet>c\n</span><span class=devnew>d\n</span>";
    EXPECT_EQ(listing(body(web_scan_reader_cb, scan_page("scan", ctx)), "<div id=scan_div>"),
              makers);
    EXPECT_EQ(listing(body(web_scan_reader_cb, scan_page("scanall", ctx)), "<div id=scanall_div>"),
              makers + "<span class=devok>e\n</span>");
    // Any other path under /scan lists all devices too.
    EXPECT_EQ(listing(body(web_scan_reader_cb, scan_page("scanXYZ", ctx)), "<div id=scanXYZ_div>"),
              makers + "<span class=devok>e\n</span>");
}

TEST_F(Pages, NoticeWhenNoneOfTheMakersDevicesShows)
{
    add_device(ctx, "phone\n", 0);
    add_device(ctx, "gone\n", BT_DEV_MAKER | BT_DEV_EXPIRED);
    EXPECT_EQ(listing(body(web_scan_reader_cb, scan_page("scan", ctx)), "<div id=scan_div>"),
              notice);
}

TEST_F(Pages, DevicePieceHoldsItsRfcommServicesOnly)
{
    add_device(ctx, "btdremol-0001 [00:1A:7D:DA:00:01]\n", BT_DEV_MAKER,
               {{"\tSerial Port [0x10005] RFCOMM 1\n", 3},
                {"\tL2CAP only [0x10006]\n", 0x0100},
                {nullptr, 3},
                {"\tOBEX [0x10007] RFCOMM 9\n", 3}});
    add_device(ctx, "btdremol-0002 [00:1A:7D:DA:00:02]\n", BT_DEV_MAKER,
               {{"\tL2CAP only [0x10008]\n", 0x0100}});
    EXPECT_EQ(listing(body(web_scan_reader_cb, scan_page("scan", ctx)), "<div id=scan_div>"),
              "<span class=devnew>btdremol-0001 [00:1A:7D:DA:00:01]\n"
              "\tSerial Port [0x10005] RFCOMM 1\n\tOBEX [0x10007] RFCOMM 9\n</span>"
              "<span class=devnew>btdremol-0002 [00:1A:7D:DA:00:02]\n</span>");
}

// Remote devices choose their names: whatever they send shows as text.
TEST_F(Pages, RemoteTextsAndThePageIdAreEscaped)
{
    add_device(ctx, "<script>alert(1)</script> [00:1A:7D:DA:00:01]\n", BT_DEV_MAKER,
               {{"\t\"Port\" & 'more' [0x1] RFCOMM 1\n", 3}});
    EXPECT_EQ(listing(body(web_scan_reader_cb, scan_page("scan", ctx)), "<div id=scan_div>"),
              "<span class=devnew>&lt;script&gt;alert(1)&lt;/script&gt; [00:1A:7D:DA:00:01]\n"
              "\t&quot;Port&quot; &amp; &#39;more&#39; [0x1] RFCOMM 1\n</span>");

    // The id stands in an attribute without quotes, where a blank would start another one.
    std::string b = body(web_scan_reader_cb, scan_page("scan\"><b x\ty=1", ctx));
    EXPECT_NE(b.find("<div id=scan&quot;&gt;&lt;b&#32;x&#9;y=1_div><span class=devnew>"),
              std::string::npos)
        << b;
}

TEST_F(Pages, DivNamesThePage)
{
    web_set_log_page_path("missing"); // the log page is then its head alone
    const std::string long_id(51, 'a');
    const struct {
        const char *id;
        std::string div;
    } cases[] = {
        {"log", "<div id=log_div>"},
        {"scanall", "<div id=scanall_div>"},
        {long_id.c_str(), "<div id=" + long_id + "_div"}, // cut at 63 bytes
        {nullptr, "<div>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(body(web_log_reader_cb, web_page_create(c.id)), page_head(WEB_LOG_TITLE, c.div))
            << (c.id ? c.id : "no id");
}

TEST_F(Pages, LogPageShowsEachLineInItsSpan)
{
    std::string long_line(479, 'a');
    long_line += "bcd";
    write_file("weblog", "Pixel <b>&amp;</b> seen\n" + long_line + "\n");
    web_set_log_page_path("weblog");
    EXPECT_EQ(body(web_log_reader_cb, web_page_create("log")),
              page_head(WEB_LOG_TITLE, "<div id=log_div>") +
                  "<span class=logline>Pixel &lt;b&gt;&amp;amp;&lt;/b&gt; seen\n</span>"
                  "<span class=logline>" +
                  std::string(479, 'a') + "</span><span class=logline>bcd\n</span>" + footer);

    write_file("weblog", "");
    EXPECT_EQ(body(web_log_reader_cb, web_page_create("log")),
              page_head(WEB_LOG_TITLE, "<div id=log_div>") + footer);
}

// The log page's body, read on a thread of its own so that a page stalled on a fifo at its path
// fails the case instead of holding up the run; a writer then lets it go.
std::string log_page_unless_stalled(const char *path)
{
    std::atomic<bool> done{false};
    std::string b;
    std::thread t([&] {
        b = body(web_log_reader_cb, web_page_create("log"));
        done = true;
    });
    if (!wait_until([&] { return done.load(); }, std::chrono::seconds(10))) {
        ADD_FAILURE() << "the page stalls on " << path;
        int writer = open(path, O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            close(writer);
    }
    if (!settle_until([&] { return done.load(); }, std::chrono::seconds(10))) {
        ADD_FAILURE() << "the page stays stalled";
        fflush(stdout);
        _exit(1);
    }
    t.join();
    return b;
}

// The log page's path is in a folder open to every user, and the daemon runs as root. Anyone may
// plant a link to a file of root's (the target here) or a second name of it, a fifo, or a file
// of their own with lines they made up, or add such lines to a file of root's that they may
// write: the page then shows no lines, as for a missing log.
TEST_F(Pages, LogPageShowsOnlyItsOwnFile)
{
    write_file("target", "secret\n");
    web_set_log_page_path("weblog");
    const struct {
        const char *what;
        int (*plant)();
        bool needs_root;
    } cases[] = {
        {"a link", [] { return symlink("target", "weblog"); }, false},
        {"a folder", [] { return mkdir("weblog", 0700); }, false},
        {"a second name", [] { return link("target", "weblog"); }, false},
        {"a fifo without a writer", [] { return mkfifo("weblog", 0666); }, false},
        // Its own user's, but anyone could have written the lines it holds.
        {"a file of the daemon's user that others may write to",
         [] {
             write_file("weblog", "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK\n");
             return chmod("weblog", 0666);
         },
         false},
        {"a file of the daemon's user that its group may write to",
         [] {
             write_file("weblog", "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK\n");
             return chmod("weblog", 0620);
         },
         false},
        {"a file of another user",
         [] {
             write_file("weblog", "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK\n");
             return chmod("weblog", 0666) == 0 ? chown("weblog", 65534, 65534) : -1;
         },
         true},
    };
    bool left_out = false;
    for (const auto &c : cases) {
        if (c.needs_root && geteuid() != 0) {
            left_out = true;
            continue;
        }
        ASSERT_EQ(c.plant(), 0) << c.what;
        EXPECT_EQ(log_page_unless_stalled("weblog"), page_head(WEB_LOG_TITLE, "<div id=log_div>"))
            << c.what;
        ASSERT_EQ(remove("weblog"), 0);
    }
    if (left_out)
        GTEST_SKIP() << "the file of another user needs root, to give it to uid 65534; the other "
                        "cases ran";
}

// The clearing happens on the first call; its line follows the head even when that call had
// room for the head alone.
TEST_F(Pages, ClearLogLineFollowsTheHeadWhateverTheBuffer)
{
    const std::string start = page_head(WEB_CLEARLOG_TITLE, "<div id=clearlog_div>");
    ASSERT_EQ(start.size(), 545u);
    enum class state { file, no_file, no_log };
    const struct {
        state log;
        const char *line;
    } cases[] = {
        {state::file, "<span class=clearlogline>Log file cleared</span>"},
        // A folder in the file's place: nothing can be made afresh there.
        {state::no_file, "<span class=clearlogline>Log file not cleared</span>"},
        {state::no_log, "<span class=clearlogline>Log file not cleared</span>"},
    };
    for (const auto &c : cases) {
        if (c.log == state::no_file) {
            ASSERT_EQ(unlink(log_path.c_str()), 0);
            ASSERT_EQ(mkdir(log_path.c_str(), 0755), 0);
        }
        if (c.log == state::no_log) {
            ASSERT_EQ(rmdir(log_path.c_str()), 0);
            log_close();
        }
        log_message("before\n");
        for (size_t first : {start.size(), start.size() - 1, start.size() + 1}) {
            web_page *page = web_page_create("clearlog");
            std::vector<char> buf(4096);
            ssize_t n = web_clearlog_reader_cb(page, 0, buf.data(), first);
            ASSERT_GT(n, 0);
            std::string b(buf.data(), size_t(n));
            b += read_body(web_clearlog_reader_cb, page, 4096, uint64_t(n));
            web_page_free_cb(page);
            EXPECT_EQ(b, start + c.line + footer) << "first call of " << first;
        }
    }
}

TEST_F(Pages, ClearLogEmptiesTheLogOnce)
{
    log_message("old line\n");
    EXPECT_EQ(listing(body(web_clearlog_reader_cb, web_page_create("clearlog"), 3),
                      "<div id=clearlog_div>"),
              "<span class=clearlogline>Log file cleared</span>");
    std::string text = read_file(log_path);
    EXPECT_EQ(text.find("old line"), std::string::npos);
    ASSERT_EQ(text.find("Logs Cleared\n"), 25u) << text;
    EXPECT_EQ(text.size(), 25u + 13) << "one clearing, one line";
}

TEST_F(Pages, FilePagesAreTheFileAsItIs)
{
    std::string text = std::string(1000, 'q') + "\nsecond\n\nlast without newline";
    write_file("script.js", text);
    EXPECT_EQ(body(web_file_reader_cb, file_page("script.js"), 7), text);
    std::string with_nul("a\n\0b\nc\n", 7); // a NUL neither cuts its line nor ends the file
    write_file("script.js", with_nul);
    EXPECT_EQ(body(web_file_reader_cb, file_page("script.js"), 3), with_nul);
    EXPECT_EQ(body(web_file_reader_cb, file_page("style.css")), "") << "missing: empty body";
    EXPECT_EQ(body(web_file_reader_cb, web_page_create("style.css")), "") << "no state";
}

TEST_F(Pages, ScanPageHoldsTheContextUntilFreed)
{
    add_device(ctx, "btdremol-0001\n", BT_DEV_MAKER);
    web_page *page = scan_page("scan", ctx);
    char buf[600];
    ASSERT_EQ(web_scan_reader_cb(page, 0, buf, sizeof buf), ssize_t(sizeof buf));
    EXPECT_EQ(obj_trylock(ctx), -1) << "held from the first call";
    web_page_free_cb(page);
    ASSERT_EQ(obj_trylock(ctx), 0) << "given back with the response";
    obj_unlock(ctx);
    EXPECT_EQ(obj_refcount(ctx), 1);

    // A page freed before its first call took nothing, and gives nothing back.
    web_page_free_cb(scan_page("scan", ctx));
    ASSERT_EQ(obj_trylock(ctx), 0);
    obj_unlock(ctx);
    EXPECT_EQ(obj_refcount(ctx), 1);
}

} // namespace
