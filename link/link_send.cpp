// Sending a pending entry: the address, the attempt limit, the connection and the write.
//
// The link's lock is taken only to read or swap the connection and to copy the address; the
// connect and the write run without it. Two threads may transmit at once: a connection opened
// by one may be replaced by the other's, which then asks the first to close.
#include "link/link.h"
#include "link/link_impl.h"

#include "core/clk.h"
#include "core/log.h"
#include "core/obj.h"
#include "link/msg.h"
#include "link/pendq.h"
#include "proto/pkt.h"
#include "transport/sock.h"
#include "transport/sock_loop.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr int CONNECT_TIMEOUT = 15;
constexpr uint8_t ATTEMPT_LIMIT = 3;
constexpr size_t ADDRESS_BUF = 17;

// The held connection, retained, unless it is already finished: then the link lets it go and
// the caller opens a new one. The caller holds the link's lock and releases *dropped after it.
obj_ref<sock_socket> usable_connection(link_state *link, sock_socket **dropped)
{
    sock_socket *held = link->connection;
    if (held && !link_socket_closed(held))
        if (obj_ref<sock_socket> s = obj_ref<sock_socket>::retain(held))
            return s;
    *dropped = link_take_connection(link);
    return {};
}

} // namespace

int link_send_entry(dns_resolver *resolver, link_state *link, pendq_entry *entry)
{
    if (!link || !entry)
        return -1;
    time_t now = clk_now();
    if (!link_get_address(link, nullptr, 0)) {
        (void)link_note_failure(1, 0);
        if (link_resolve_server(resolver, link) < 0 || !link_get_address(link, nullptr, 0))
            return -1;
    }
    uint8_t attempts;
    {
        obj_guard g(entry);
        attempts = entry->attempts;
    }
    if (attempts > ATTEMPT_LIMIT) {
        log_message("Packet failed\n");
        (void)link_note_failure(0, now);
        return -1;
    }
    int r = link_transmit_entry(link, entry, link_conn_opened_cb, 1);
    if (r < 0)
        (void)link_note_failure(0, now);
    return r;
}

int link_transmit_entry(link_state *link, pendq_entry *entry, link_connect_fn on_connect, int log)
{
    if (!on_connect || !link || !entry)
        return -1;
    char address[ADDRESS_BUF];
    char port[6];
    sock_socket *dropped = nullptr;
    obj_ref<sock_socket> conn;
    bool reachable = true;
    {
        obj_guard g(link);
        conn = usable_connection(link, &dropped);
        if (!conn) {
            // The buffer's size bounds the copy: a longer text is no IPv4 address.
            reachable = link->address && link->port != 0 && strlen(link->address) < ADDRESS_BUF;
            if (reachable) {
                strcpy(address, link->address);
                snprintf(port, sizeof port, "%u", unsigned(link->port));
            }
        }
    }
    obj_release(dropped);
    dropped = nullptr;
    if (!reachable)
        return -1;

    if (!conn) {
        sock_socket *s = sock_open_tcp_client(address, port, nullptr, CONNECT_TIMEOUT);
        on_connect(link, s);
        {
            obj_guard g(link);
            if (link->connection != s) {
                dropped = link_take_connection(link);
                link->connection = s && obj_retain(s) > 0 ? s : nullptr;
            }
        }
        obj_release(dropped);
        conn = obj_ref<sock_socket>::adopt(s);
    }

    pkt_packet *packet;
    int8_t cmd;
    {
        obj_guard g(entry);
        // A failed connect restarts the resend clock too.
        entry->last_send = clk_now();
        packet = entry->packet;
        cmd = packet ? packet->cmd : 0;
    }
    int r = link_write_packet(conn.get(), packet, log);
    conn.reset();
    if (r <= 0)
        return r;
    // Not under the entry's lock: entering the poll takes the table's lock, which a walk of the
    // table holds while it takes entries.
    if (cmd == MSG_CMD_REPLY_ALT || cmd == MSG_CMD_ACK) {
        (void)msg_send_poll();
        return 0;
    }
    return 1;
}

bool link_socket_closed(sock_socket *s)
{
    obj_guard g(s);
    return s->flags & SOCK_FLAG_CLOSED;
}

int link_write_packet(sock_socket *s, pkt_packet *packet, int log)
{
    if (!s || !packet)
        return -1;
    obj_ref<pkt_buf> b = obj_ref<pkt_buf>::adopt(pkt_encode(packet));
    if (!b)
        return -1;
    if (log)
        pkt_log(packet);
    int total = int(b->hdr + b->len);
    int n = sock_write(s, b->data, total);
    if (n == total)
        return 1;
    sock_request_close(s);
    return -1;
}

void link_conn_opened_cb(link_state *link, sock_socket *s)
{
    if (!s)
        return;
    auto *conn = static_cast<link_conn *>(obj_alloc(sizeof(link_conn), link_conn_destroy));
    if (!conn || obj_retain(link) == 0) {
        // Nobody would read it: the next send opens another.
        if (conn)
            obj_release(conn);
        sock_request_close(s);
        return;
    }
    conn->link = link;
    conn->connection = s;
    sock_loop_start_tls_ext(s, conn, link_conn_readable_cb, link_conn_closed_cb, nullptr, nullptr);
    obj_release(conn);
    bool served;
    {
        obj_guard g(s);
        served = s->thread != nullptr;
    }
    // No loop thread could be started: as above, nobody would read it.
    if (!served)
        sock_request_close(s);
}
