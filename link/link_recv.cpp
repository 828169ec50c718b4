// Receiving: cutting the connection's byte stream into packets, matching replies to their
// requests by MID and answering the service's polls. Runs on the connection's loop thread.
//
// A packet is its 14 bytes up to Len, then Len + 2 more. The header may come in pieces over
// several readable events; the rest is waited for, within a bound, once the header is there. A
// stream that can no longer be cut into packets (a Len the parser could never take, a packet
// that stopped arriving) is closed rather than read on from the wrong place.
#include "link/link.h"
#include "link/link_impl.h"
#include "link/link_private.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/tbl.h"
#include "core/util.h"
#include "link/msg.h"
#include "link/pendq.h"
#include "proto/pkt.h"
#include "transport/sock.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace
{

constexpr uint32_t HEAD = sizeof(link_conn::head);
// The parser's byte count is 16 bits wide.
constexpr uint32_t MAX_LEN = PKT_MAX_SIZE - PKT_HDR_SIZE;
constexpr useconds_t PACKET_PAUSE_US = 100000;

std::atomic<int> read_wait_ms{15000};

int descriptor_of(sock_socket *s)
{
    obj_guard g(s);
    return s->descriptor;
}

// Reads until buf holds total bytes; false on end of stream, an error, or when the rest stays
// away longer than the bound.
bool read_rest(sock_socket *s, uint8_t *buf, uint32_t got, uint32_t total)
{
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(read_wait_ms.load());
    while (got < total) {
        int n = sock_read(s, buf + got, int(total - got));
        if (n > 0) {
            got += uint32_t(n);
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p = {descriptor_of(s), POLLIN, 0};
        if (poll(&p, 1, int(left.count())) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

void forget_encoding(pkt_packet *request)
{
    pkt_buf *b;
    {
        obj_guard g(request);
        b = request->encoded;
        request->encoded = nullptr;
    }
    if (b)
        obj_release(b);
}

void dispatch_reply(sock_socket *s, pendq_entry *e, int log, uint8_t *raw, int n)
{
    pkt_packet *request;
    pendq_reply_fn reply_fn;
    void *user;
    {
        obj_guard g(e);
        request = e->packet;
        reply_fn = e->reply;
        user = e->user;
    }
    if (!request) {
        free(raw);
        return;
    }
    // It will not be sent again.
    forget_encoding(request);
    if (!reply_fn) {
        free(raw);
        return;
    }
    obj_ref<pkt_packet> reply = obj_ref<pkt_packet>::adopt(pkt_parse(request, raw, uint16_t(n)));
    if (!reply)
        return;
    if (reply->cmd == MSG_CMD_REPLY || reply->cmd == MSG_CMD_REPLY_ALT)
        link_clear_failures();
    if (log)
        pkt_log(reply.get());
    (void)reply_fn(s, request->cmd, reply->cmd, reply->tokens, request->mid, user);
}

void dispatch_unsolicited(link_request_fn handler, int log, uint8_t *raw, int n)
{
    obj_ref<pkt_packet> p = obj_ref<pkt_packet>::adopt(pkt_parse(nullptr, raw, uint16_t(n)));
    if (!p)
        return;
    if (log)
        pkt_log(p.get());
    int8_t cmd = p->cmd;
    if (cmd != MSG_CMD_POLL && cmd != MSG_CMD_EVENT && cmd != MSG_CMD_REQUEST)
        return;
    if (p->tokens) {
        if (!handler)
            return;
        msg_send_reply(int8_t(handler(cmd, p->tokens)), p->mid);
        if (cmd == MSG_CMD_POLL)
            (void)msg_send_poll();
    } else if (cmd == MSG_CMD_POLL) {
        (void)msg_send_poll();
    }
}

} // namespace

int link_set_read_wait_ms(int ms)
{
    return read_wait_ms.exchange(ms);
}

void link_conn_readable_cb(sock_socket *s, void *user)
{
    auto *conn = static_cast<link_conn *>(user);
    // A service that never pauses keeps this loop going: a connection closed or replaced
    // meanwhile must still let its loop, its thread and its descriptor go.
    while (!link_socket_closed(s)) {
        uint8_t *raw;
        int n = link_read_packet(s, conn, &raw);
        if (n == 0)
            return;
        link_dispatch_packet(s, nullptr, 1, raw, n);
        usleep(PACKET_PAUSE_US);
    }
}

int link_read_packet(sock_socket *s, link_conn *conn, uint8_t **raw)
{
    *raw = nullptr;
    if (!s || !conn)
        return 0;
    if (conn->held < HEAD) {
        int n = sock_read(s, conn->head + conn->held, int(HEAD - conn->held));
        if (n <= 0)
            return 0;
        conn->held = uint8_t(conn->held + n);
        if (conn->held < HEAD)
            return 0;
    }
    conn->held = 0;
    uint32_t len = be32_get(conn->head + 10);
    if (len > MAX_LEN) {
        log_message("Packet Error Length %u\n", len);
        sock_request_close(s);
        return 0;
    }
    uint32_t total = len + PKT_HDR_SIZE;
    auto *buf = static_cast<uint8_t *>(malloc(total));
    if (!buf) {
        sock_request_close(s);
        return 0;
    }
    memcpy(buf, conn->head, HEAD);
    if (!read_rest(s, buf, HEAD, total)) {
        log_message("Packet Error Short Packet\n");
        free(buf);
        sock_request_close(s);
        return 0;
    }
    *raw = buf;
    return int(total);
}

void link_dispatch_packet(sock_socket *s, link_request_fn handler, int log, uint8_t *raw, int n)
{
    // A packet shorter than its header has no MID to match, and a longer one than the parser
    // counts cannot be checked.
    if (!s || !raw || n < PKT_HDR_SIZE || uint32_t(n) > PKT_MAX_SIZE) {
        free(raw);
        return;
    }
    uint16_t mid = be16_get(raw + 14);
    tbl_table *t = pendq_table();
    obj_ref<pendq_entry> e =
        obj_ref<pendq_entry>::adopt(t ? static_cast<pendq_entry *>(tbl_find(t, &mid)) : nullptr);
    if (!e) {
        dispatch_unsolicited(handler, log, raw, n);
        return;
    }
    // Even a reply that fails its checks ends the request's resends.
    tbl_remove(t, e.get());
    dispatch_reply(s, e.get(), log, raw, n);
}

void link_conn_closed_cb(void *user)
{
    auto *conn = static_cast<link_conn *>(user);
    if (!conn)
        return;
    log_message("Close Socket\n");
    link_drop_connection(conn->link, conn->connection);
}

void link_conn_destroy(void *p)
{
    auto *conn = static_cast<link_conn *>(p);
    if (conn->link)
        obj_release(conn->link);
    conn->link = nullptr;
    conn->connection = nullptr;
}
