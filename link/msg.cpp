// Message constructors and the poll exchange. Every message costs a device-id lookup (a UDP
// socket, an interface list and an interface request) on the calling thread.
#include "link/msg.h"

#include "core/obj.h"
#include "link/link.h"
#include "link/pendq.h"
#include "netenv/probe.h"
#include "proto/pkt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace
{

// Any public address would do: only the interface that the routing table picks matters.
constexpr const char *ROUTE_PROBE = "192.88.99.0";
constexpr uint16_t ROUTE_PROBE_PORT = 65535;
constexpr int ID_SIZE = 8;

// For one send: a reply keeps the MID it answers, a request gets its own as it is entered. The
// maker's reference goes.
void submit_once(pkt_packet *p, pendq_reply_fn reply, bool request)
{
    if (request)
        pendq_submit_request(p, reply, PENDQ_SEND_ONCE, nullptr);
    else
        pendq_submit(p, reply, PENDQ_SEND_ONCE, nullptr);
    obj_release(p);
}

} // namespace

pkt_packet *msg_create(int8_t cmd)
{
    pkt_packet *p = pkt_create_reply(cmd, 0);
    if (p)
        msg_random_bytes(&p->mid, sizeof p->mid);
    return p;
}

pkt_packet *pkt_create_reply(int8_t cmd, uint16_t mid)
{
    pkt_packet *p = pkt_create();
    if (!p)
        return nullptr;
    p->cmd = cmd;
    p->mid = mid;
    msg_get_device_id(p->id, ID_SIZE);
    return p;
}

void msg_get_device_id(uint8_t *out, int length)
{
    if (!out || length <= 0)
        return;
    uint8_t id[ID_SIZE] = {};
    sockaddr_in local;
    if (!net_local_addr_for(&local, SOCK_DGRAM, ROUTE_PROBE, ROUTE_PROBE_PORT))
        return;
    char name[17] = {};
    if (!net_if_name_for_addr(&local, name, sizeof name))
        return;
    // Writes only for an Ethernet interface; anything else leaves zeros.
    (void)net_if_get_hwaddr(name, id + 2);
    id[0] = uint8_t(PKT_ID_OWN >> 8);
    id[1] = uint8_t(PKT_ID_OWN);
    memcpy(out, id, size_t(std::min(length, ID_SIZE)));
}

void msg_send_reply(int8_t cmd, uint16_t mid)
{
    if (pkt_packet *p = pkt_create_reply(cmd, mid))
        submit_once(p, nullptr, false);
}

int msg_send_poll()
{
    pkt_packet *p = msg_create(MSG_CMD_POLL);
    if (!p)
        return 0;
    submit_once(p, msg_poll_reply_cb, true);
    return 1;
}

int msg_poll_reply_cb(sock_socket *, int8_t sent, int8_t reply, tbl_table *tokens, uint16_t mid,
                      void *)
{
    if (tokens)
        fprintf(stderr, "Result %hhi %hhi %hu %p", sent, reply, mid, static_cast<void *>(tokens));
    const bool ends = reply == MSG_CMD_REPLY || reply == MSG_CMD_REPLY_ALT || reply == MSG_CMD_ACK;
    if (sent == MSG_CMD_POLL) {
        link_refresh_keepalive();
        if (!ends) {
            msg_send_reply(MSG_CMD_ACK, mid);
            return 1;
        }
    } else if ((sent >= -3 && sent <= 0) || (sent >= 2 && sent <= 10)) {
        msg_send_reply(MSG_CMD_ACK, mid);
        return 1;
    }
    int code = msg_answer_code(reply, tokens);
    if (code != MSG_NO_ANSWER)
        msg_send_reply(int8_t(code), mid);
    return 0;
}

int msg_answer_code(int8_t, tbl_table *)
{
    return MSG_NO_ANSWER;
}
