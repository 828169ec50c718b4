// Pages per second that one keep-alive client gets from the web server: the all-devices scan
// page of 255 simulated devices (found by the station's own discovery on a zero-latency radio),
// and /style.css of the same size, served from a file in the working directory.
#include "bench/common/scenario_255.h"
#include "core/log.h"
#include "core/obj.h"
#include "sim_radio.h"
#include "station/app.h"
#include "station/bt_device.h"
#include "ui/web.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// One keep-alive HTTP/1.1 connection that reads chunked bodies.
struct client {
    int fd = -1;
    std::string buf;

    bool open(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }

    bool fill()
    {
        char tmp[65536];
        ssize_t n = read(fd, tmp, sizeof tmp);
        if (n <= 0)
            return false;
        buf.append(tmp, size_t(n));
        return true;
    }

    // The body's length, or -1.
    long get(const char *path)
    {
        char req[256];
        int n = snprintf(req, sizeof req,
                         "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         "Authorization: Basic YWRtaW46dHVsdmV4\r\n\r\n",
                         path);
        if (write(fd, req, size_t(n)) != n)
            return -1;
        size_t at;
        while ((at = buf.find("\r\n\r\n")) == std::string::npos)
            if (!fill())
                return -1;
        if (buf.compare(0, 12, "HTTP/1.1 200") != 0)
            return -1;
        buf.erase(0, at + 4);
        long body = 0;
        for (;;) {
            while ((at = buf.find("\r\n")) == std::string::npos)
                if (!fill())
                    return -1;
            size_t chunk = strtoul(buf.c_str(), nullptr, 16);
            while (buf.size() < at + 2 + chunk + 2)
                if (!fill())
                    return -1;
            buf.erase(0, at + 2 + chunk + 2);
            body += long(chunk);
            if (chunk == 0)
                return body;
        }
    }
};

// Pages per second over about a second and a half, after a warm-up.
double rate(int port, const char *path, long *size)
{
    client c;
    if (!c.open(port))
        return 0;
    for (int i = 0; i < 50; i++)
        *size = c.get(path);
    auto start = std::chrono::steady_clock::now();
    int pages = 0;
    double secs = 0;
    while (secs < 1.5) {
        if (c.get(path) != *size)
            return 0;
        pages++;
        secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    close(c.fd);
    return pages / secs;
}

} // namespace

int main()
{
    sim_scenario s;
    std::string error;
    if (!sim_scenario_parse(scenario_255(0), s, error)) {
        fprintf(stderr, "scenario: %s\n", error.c_str());
        return 1;
    }
    char dir[] = "/tmp/vesk-ui-bench-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        return 1;
    log_open("log");

    sim_radio radio(s);
    auto *ctx = static_cast<app_ctx *>(obj_alloc(sizeof(app_ctx), app_ctx_destroy));
    ctx->inquiry = obj_alloc(BT_INQUIRY_MAX * BT_INQUIRY_RESULT_SIZE, nullptr);
    app_ctx_mark_web(ctx);
    app_scan_pass(ctx, 0, radio.open_dev(), 0);
    ctx->web = web_start(ctx, 0);
    if (!ctx->web)
        return 1;
    int port = MHD_get_daemon_info(ctx->web, MHD_DAEMON_INFO_BIND_PORT)->port;

    long scan_size = 0, css_size = 0;
    double scan = rate(port, "/scanall", &scan_size);

    // A stylesheet of the same size, in lines of a stylesheet's length.
    std::string css;
    while (long(css.size()) < scan_size) {
        std::string line = ".devok { border-left: 8px solid #2e8b3d; color: #1a5c27; }\n";
        css += line.substr(0, size_t(scan_size) - css.size());
    }
    FILE *f = fopen("style.css", "w");
    if (!f || fwrite(css.data(), 1, css.size(), f) != css.size() || fclose(f) != 0)
        return 1;
    double style = rate(port, "/style.css", &css_size);

    printf("one keep-alive client on 127.0.0.1:\n");
    printf("  /scanall, 255 devices (%ld bytes): %.0f pages/s\n", scan_size, scan);
    printf("  /style.css (%ld bytes):            %.0f pages/s\n", css_size, style);

    obj_release(ctx);
    log_close();
    std::string cmd = std::string("rm -rf '") + dir + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
