// The web server on 127.0.0.1 as a browser meets it, through curl: routes, methods, Basic
// authentication, headers, the static files, the log pages, a client that stops reading, and
// requests whose page or response cannot be made.
#include "core/log.h"
#include "core/obj.h"
#include "core/obj_private.h"
#include "tests/common/held_connections.h"
#include "ui/web.h"
#include "ui/web_private.h"
#include "ui_fixture.h"
#include "ui_programs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

// The library holds a response's own mutex around each reader call, and a scan page keeps the
// context's lock from its first call to the response's end, so the two are taken in both
// orders, also when the response is freed and the page lets the context go. Only the
// connection's own thread ever takes that response's mutex (a response is queued on one
// connection only), so the cycle cannot close.
extern "C" const char *__tsan_default_suppressions()
{
    return "deadlock:web_scan_reader_cb\ndeadlock:web_page_free_cb\n";
}

// Allocation failures on request: the next web page record, the next streamed response.
namespace
{

std::atomic<bool> fail_page_record{false};
std::atomic<bool> fail_response{false};

bool refusing_page_record(int32_t size, obj_destroy_fn destroy)
{
    return size == int32_t(sizeof(web_page)) && !destroy && fail_page_record.exchange(false);
}

MHD_Response *refusing_response(uint64_t size, size_t block, MHD_ContentReaderCallback reader,
                                void *cls, MHD_ContentReaderFreeCallback free_cb)
{
    if (fail_response.exchange(false))
        return nullptr;
    return MHD_create_response_from_callback(size, block, reader, cls, free_cb);
}

using namespace std::chrono;

const std::string body_401 =
    "<html><head><title>BT Dremol Demo</title></head><body>Go Away</body></html>";
const std::string body_404 =
    "<html><head><title>Not found</title></head><body>Error 404.</body></html>";
const std::string footer = "</div></div></div></body></html>";

struct reply {
    int exit = -1; // curl's exit status; 52: the server closed without an answer
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    const std::string *header(const std::string &name) const
    {
        for (const auto &h : headers)
            if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
                return &h.second;
        return nullptr;
    }
    int index(const std::string &name) const
    {
        for (size_t i = 0; i < headers.size(); i++)
            if (strcasecmp(headers[i].first.c_str(), name.c_str()) == 0)
                return int(i);
        return -1;
    }
};

// Runs curl with args (after its own quiet, header-showing options) and parses what it prints.
reply curl(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"curl", "-s", "-i", "--max-time", "30"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    reply r;
    r.exit = run(argv, &out);
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    r.body = out.substr(end + 4);
    std::string head = out.substr(0, end);
    size_t at = head.find("\r\n");
    r.status = std::atoi(head.substr(head.find(' ') + 1, 3).c_str());
    while (at != std::string::npos) {
        size_t next = head.find("\r\n", at + 2);
        std::string line = head.substr(at + 2, next == std::string::npos ? next : next - at - 2);
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            r.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        at = next;
    }
    return r;
}

// The process's open descriptors.
int open_descriptors()
{
    return folder_entries("/proc/self/fd");
}

struct Web : ui_fixture {
    MHD_Daemon *web = nullptr;
    std::string base;

    void SetUp() override
    {
        ui_fixture::SetUp();
        // Its client is curl; TakenPortIsSaid starts the simulator.
        if (const char *why = no_loopback_resolver())
            GTEST_SKIP() << why;
        web_set_log_page_path("weblog");
        web = web_start(ctx, 0);
        ASSERT_NE(web, nullptr);
        int port = MHD_get_daemon_info(web, MHD_DAEMON_INFO_BIND_PORT)->port;
        base = "http://127.0.0.1:" + std::to_string(port);
    }
    void TearDown() override
    {
        web_stop(web);
        ui_fixture::TearDown();
    }

    // Connections the server has accepted and not yet closed.
    unsigned connections() const
    {
        return MHD_get_daemon_info(web, MHD_DAEMON_INFO_CURRENT_CONNECTIONS)->num_connections;
    }

    reply get(const std::string &path, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"-u", "admin:tulvex"});
        args.push_back(base + path);
        return curl(args);
    }
};

TEST_F(Web, EveryRoute)
{
    write_file("style.css", "body { color: black; }\n");
    write_file("script.js", "function page_loaded() {}\n");
    write_file("weblog", "a line\n");
    const char *const html = "text/html; charset=utf-8";
    const struct {
        const char *path;
        int status;
        const char *type;
        bool refresh;
        std::string body; // the div of a page, the whole body otherwise
    } routes[] = {
        {"/", 200, html, true, "<div id=scan_div>"},
        {"/scan", 200, html, true, "<div id=scan_div>"},
        {"/scanall", 200, html, true, "<div id=scanall_div>"},
        {"/scanXYZ", 200, html, true, "<div id=scanXYZ_div>"},
        {"/scan/x", 200, html, true, "<div id=scan/x_div>"},
        {"/log", 200, html, false, "<div id=log_div>"},
        {"/clearlog", 200, html, false, "<div id=clearlog_div>"},
        {"/style.css", 200, "text/plain", false, "body { color: black; }\n"},
        {"/script.js", 200, "text/plain", false, "function page_loaded() {}\n"},
        {"/Scan", 404, html, false, body_404},
        {"/sca", 404, html, false, body_404},
        {"/log/", 404, html, false, body_404},
        {"/style.css/", 404, html, false, body_404},
        {"/index.html", 404, html, false, body_404},
    };
    for (const auto &r : routes) {
        reply got = get(r.path);
        ASSERT_EQ(got.exit, 0) << r.path;
        EXPECT_EQ(got.status, r.status) << r.path;
        ASSERT_NE(got.header("Content-Type"), nullptr) << r.path;
        EXPECT_EQ(*got.header("Content-Type"), r.type) << r.path;
        if (r.refresh) {
            ASSERT_NE(got.header("Refresh"), nullptr) << r.path;
            EXPECT_EQ(*got.header("Refresh"), "5");
            EXPECT_LT(got.index("Refresh"), got.index("Content-Type")) << r.path;
        } else {
            EXPECT_EQ(got.header("Refresh"), nullptr) << r.path;
        }
        if (r.body.rfind("<div", 0) == 0) {
            EXPECT_NE(got.body.find("</div><div id=content>" + r.body), std::string::npos)
                << r.path << ": " << got.body;
            EXPECT_EQ(got.body.substr(got.body.size() - footer.size()), footer) << r.path;
        } else {
            EXPECT_EQ(got.body, r.body) << r.path;
        }
    }
}

TEST_F(Web, OnlyAPlainGetIsAnswered)
{
    const std::vector<std::vector<std::string>> refused = {
        {"-I"},                   // HEAD
        {"-d", "x=1"},            // POST
        {"-X", "GET", "-d", "x"}, // GET with a body
        {"-X", "get"},
    };
    for (const auto &args : refused)
        EXPECT_EQ(get("/scan", args).exit, 52) << args[0] << ": closed without an answer";
    EXPECT_EQ(get("/scan").status, 200) << "and the server still answers";
}

TEST_F(Web, WithoutTheRightCredentialsOnly401)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-u", "Admin:tulvex"},
        {"-u", "admin:Tulvex"},
        {"-u", "admin:"},
        {"-H", "Authorization: Basic !!!"},
        {"-H", "Authorization: Digest username=admin"},
    };
    for (const auto &args : cases) {
        std::vector<std::string> a = args;
        a.push_back(base + "/scan");
        reply r = curl(a);
        std::string what = args.empty() ? "none" : args.back();
        ASSERT_EQ(r.exit, 0) << what;
        EXPECT_EQ(r.status, 401) << what;
        ASSERT_NE(r.header("WWW-Authenticate"), nullptr) << what;
        EXPECT_EQ(*r.header("WWW-Authenticate"), "Basic realm=\"BT Dremol\"");
        EXPECT_EQ(r.header("Content-Type"), nullptr) << what;
        EXPECT_EQ(r.body, body_401) << what;
    }
    EXPECT_EQ(ctx->last_web, 0) << "a refused request keeps the scan window shut";
}

TEST_F(Web, MissingStaticFileIsAnEmptyPage)
{
    reply r = get("/style.css");
    EXPECT_EQ(r.status, 200);
    ASSERT_NE(r.header("Content-Type"), nullptr);
    EXPECT_EQ(*r.header("Content-Type"), "text/plain");
    EXPECT_EQ(r.body, "");
}

TEST_F(Web, LogPageSplitsLongLinesAndFollowsTheClearing)
{
    std::string line(479, 'L');
    write_file("weblog", line + "tail & end\n");
    reply r = get("/log");
    EXPECT_NE(r.body.find("<div id=log_div><span class=logline>" + line +
                          "</span><span class=logline>tail &amp; end\n</span>" + footer),
              std::string::npos)
        << r.body;

    // The log page showing the log in use: after the clearing, its first line is the clearing.
    web_set_log_page_path(log_path.c_str());
    log_message("before the clearing\n");
    EXPECT_NE(get("/clearlog").body.find("Log file cleared"), std::string::npos);
    std::string page = get("/log").body;
    EXPECT_EQ(page.find("before the clearing"), std::string::npos);
    size_t first = page.find("<span class=logline>");
    ASSERT_NE(first, std::string::npos) << page;
    EXPECT_EQ(page.find("Logs Cleared\n</span>", first), first + 20 + 25) << page;
}

// Another server on the web port: the program runs on without pages, and says why, naming the
// port, on standard error and in its log.
TEST_F(Web, TakenPortIsSaid)
{
    const std::string port = base.substr(base.rfind(':') + 1);
    write_file("page.scn", "page 0\n");
    pid_t sim =
        spawn({sim_program, "page.scn", "-p", port, "-l", dir + "/sim.log"}, dir, dir + "/sim.out");
    ASSERT_GT(sim, 0);
    // The scan loop opens the window for the page load, after the web server's start.
    bool looping = wait_until(
        [&] { return read_file("sim.log").find("Scaning Start\n") != std::string::npos; });
    stop(sim);
    const std::string out = read_file("sim.out");
    const std::string log = read_file("sim.log");
    ASSERT_TRUE(looping) << out << log;
    const std::string said =
        "Web server failed to start on port " + port + ": Address already in use\n";
    EXPECT_NE(out.find(said), std::string::npos) << out;
    EXPECT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(get("/scan").status, 200) << "the server that holds the port";
}

// A scan page holds the context's lock while it is sent; a client that stops reading loses
// its connection, and with it the lock, after the server's time-out. That time-out does not cut
// the page that waited behind it for longer than the time-out itself.
TEST_F(Web, StalledClientDoesNotStopScanningForGood)
{
    // A page far larger than what the sockets can buffer.
    std::string desc(700, 'd');
    desc += "\n";
    for (int i = 0; i < 4000; i++)
        add_device(ctx, desc.c_str(), BT_DEV_MAKER);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    int small = 2048;
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::stoi(base.substr(base.rfind(':') + 1))));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    std::string request = "GET /scan HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Authorization: Basic YWRtaW46dHVsdmV4\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));

    auto held = [&] {
        if (obj_trylock(ctx) != 0)
            return true;
        obj_unlock(ctx);
        return false;
    };
    ASSERT_TRUE(wait_until(held, seconds(20), milliseconds(5)))
        << "the stalled page takes the list";
    std::this_thread::sleep_for(seconds(1));
    ASSERT_TRUE(held()) << "the stalled page holds the list";

    // The next page waits for the stalled one's time-out, then lists every device. Once it
    // waits, the stalled client reads a little more, a second later, and stops again: the
    // next page then waits more than the time-out.
    reply r;
    std::thread next([&] { r = get("/scan"); });
    bool waiting = wait_until([&] { return connections() == 2; });
    const size_t more = 256 * 1024;
    size_t taken = 0;
    if (waiting) {
        std::this_thread::sleep_for(seconds(1));
        timeval limit = {20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buf[4096];
        for (ssize_t n;
             taken < more && (n = recv(fd, buf, std::min(sizeof buf, more - taken), 0)) > 0;)
            taken += size_t(n);
    }
    next.join();
    ASSERT_TRUE(waiting) << "the next page never reached the server";
    EXPECT_EQ(taken, more) << "the stalled page went on";
    EXPECT_EQ(r.exit, 0) << "curl's exit status";
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), 536 + 4000 * (19 + desc.size() + 7) + footer.size());
    // The server frees the second response just after its last byte went out.
    wait_until([&] { return !held(); }, seconds(20), milliseconds(5));
    EXPECT_FALSE(held()) << "the scan loop may take the list again";
    close(fd);
}

// Every connection of a burst ends while the server waits for no one: their descriptors must
// go back without another client coming to wake the server.
TEST_F(Web, FinishedConnectionsGiveBackTheirDescriptors)
{
    const int before = open_descriptors();
    ASSERT_GT(before, 0);
    const int port = std::stoi(base.substr(base.rfind(':') + 1));
    // As many as the server holds, from as many addresses as that takes.
    std::vector<int> clients;
    for (unsigned i = 0; i < web_connection_limit; i++) {
        int fd =
            connect_from("127.0.0." + std::to_string(1 + i / web_address_connection_limit), port);
        ASSERT_GE(fd, 0) << i;
        clients.push_back(fd);
    }
    // Every one accepted before any ends: no later accept wakes the server.
    ASSERT_TRUE(wait_until([&] { return connections() == clients.size(); }));
    const std::string request =
        "GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Authorization: Basic YWRtaW46dHVsdmV4\r\nConnection: close\r\n\r\n";
    for (int fd : clients)
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    for (int fd : clients) {
        timeval limit = {20, 0};
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
        std::string got;
        char buf[512];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
            got.append(buf, size_t(n));
        EXPECT_EQ(got.rfind("HTTP/1.1 404", 0), 0u) << got;
        close(fd);
    }
    int after = -1;
    bool back = wait_until(
        [&] {
            after = open_descriptors();
            return after <= before;
        },
        seconds(10), milliseconds(20));
    printf("descriptors: %d before the burst, %d after it\n", before, after);
    EXPECT_TRUE(back) << before << " before the burst, " << after << " after it";
}

// Clients that hold connections open get no more than the bounds: from one address, and from
// several together. Each connection beyond them is closed at once, and the server's descriptors
// stay within what it keeps. While the total is not reached, another address's page answers;
// once the holders go, every address is served again.
TEST_F(Web, HeldConnectionsStayWithinTheBounds)
{
    const unsigned each = web_address_connection_limit;
    const struct {
        const char *what;
        int addresses;
        unsigned per_address; // connections that each address opens
        unsigned kept;        // connections that the server keeps
    } cases[] = {
        {"one address", 1, 3 * each, each},
        {"several addresses, each within its bound", 8, each, web_connection_limit},
    };
    static_assert(8 * web_address_connection_limit > web_connection_limit);
    const int port = std::stoi(base.substr(base.rfind(':') + 1));
    const std::vector<std::string> elsewhere = {"--interface", "127.0.0.200"};
    for (const auto &c : cases) {
        const int before = open_descriptors();
        auto clients = std::make_unique<held_connections>();
        std::vector<std::string> sources;
        for (int i = 0; i < c.addresses; i++) {
            sources.push_back("127.0.0." + std::to_string(i + 1));
            ASSERT_TRUE(clients->open(sources.back(), port, int(c.per_address))) << c.what;
        }
        EXPECT_TRUE(wait_until(
            [&] {
                clients->trickle();
                return clients->held() == c.kept;
            },
            seconds(5)))
            << c.what << ": " << clients->held() << " held";
        EXPECT_EQ(connections(), c.kept) << c.what;
        for (const auto &source : sources)
            EXPECT_LE(clients->held(source), each) << c.what << ", " << source;
        // Each connection still held is a descriptor here and one in the server.
        const int server = open_descriptors() - before - int(clients->held());
        printf("%s: %u opened, %zu held, %d descriptors more in the server\n", c.what,
               c.addresses * c.per_address, clients->held(), server);
        EXPECT_LE(server, int(c.kept)) << c.what;

        reply page = get("/scan", elsewhere);
        if (c.kept < web_connection_limit) {
            EXPECT_EQ(page.status, 200) << c.what;
        } else {
            // Closed at once: curl sees an empty reply (52), or a reset while it sends (55) or
            // reads (56); never a time-out.
            EXPECT_TRUE(page.exit == 52 || page.exit == 55 || page.exit == 56)
                << c.what << ": " << page.exit;
        }
        clients.reset();
        EXPECT_TRUE(wait_until([&] { return connections() == 0; })) << c.what;
        EXPECT_EQ(get("/scan", elsewhere).status, 200) << c.what << ", once the holders went";
    }
}

// Every free descriptor below 1100 taken, under a limit raised to allow it, so that whatever
// the process opens next lies above 1023; all given back, and the limit restored, when it goes.
struct low_descriptors_taken {
    rlimit old = {};
    std::vector<int> taken;
    bool ok = false;

    low_descriptors_taken()
    {
        if (getrlimit(RLIMIT_NOFILE, &old) != 0)
            return;
        rlimit raised = {std::max<rlim_t>(old.rlim_cur, 2048),
                         std::max<rlim_t>(old.rlim_max, 2048)};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
            return;
        for (int fd = -1; fd < 1100;) {
            fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return;
            taken.push_back(fd);
        }
        ok = true;
    }
    ~low_descriptors_taken()
    {
        for (int fd : taken)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &old);
    }
};

// Descriptors above 1023 serve like any other: those of a server started among them, and the
// connections of one that was running before the process's descriptors rose past them.
TEST_F(Web, DescriptorsAbove1023Serve)
{
    low_descriptors_taken high;
    ASSERT_TRUE(high.ok) << "the descriptors below 1100 could not be taken";
    MHD_Daemon *started_high = web_start(ctx, 0);
    EXPECT_NE(started_high, nullptr) << "a server started among the high descriptors";
    const struct {
        const char *what;
        MHD_Daemon *server;
    } cases[] = {
        {"running before", web},
        {"started among them", started_high},
    };
    for (const auto &c : cases) {
        if (!c.server)
            continue;
        const MHD_DaemonInfo *listening = MHD_get_daemon_info(c.server, MHD_DAEMON_INFO_LISTEN_FD);
        const MHD_DaemonInfo *bound = MHD_get_daemon_info(c.server, MHD_DAEMON_INFO_BIND_PORT);
        if (!listening || !bound) {
            ADD_FAILURE() << c.what << ": no listening socket";
            continue;
        }
        EXPECT_EQ(listening->listen_fd > 1023, c.server == started_high) << c.what;
        reply r = curl(
            {"-u", "admin:tulvex", "http://127.0.0.1:" + std::to_string(bound->port) + "/scan"});
        EXPECT_EQ(r.status, 200) << c.what << ", curl's exit status " << r.exit;
    }
    web_stop(started_high);
}

// A request whose page or response cannot be made closes without an answer, and the server
// goes on; the sanitizer build finds anything that leaked.
TEST_F(Web, RefusedWhenPageOrResponseCannotBeMade)
{
    write_file("style.css", "x\n");
    obj_alloc_fail_fn alloc_before = obj_set_alloc_fail(refusing_page_record);
    web_response_fn response_before = web_set_response_maker(refusing_response);
    for (const char *path : {"/scan", "/style.css", "/log", "/clearlog"}) {
        fail_page_record = true;
        EXPECT_EQ(get(path).exit, 52) << path << " without a page record";
        EXPECT_FALSE(fail_page_record) << path << ": the failure was met";
        fail_response = true;
        EXPECT_EQ(get(path).exit, 52) << path << " without a response";
        EXPECT_FALSE(fail_response) << path << ": the failure was met";
    }
    web_set_response_maker(response_before);
    obj_set_alloc_fail(alloc_before);
    EXPECT_EQ(get("/style.css").body, "x\n");
    EXPECT_EQ(get("/scan").status, 200);
    // The last response lets the context go just after its last byte went out.
    ASSERT_TRUE(wait_until([&] { return obj_refcount(ctx) == 1; }, seconds(20), milliseconds(5)));
}

} // namespace
