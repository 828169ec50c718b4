// The server link: the one TCP connection to the maker's service, the service's address and
// its choice through DNS, failure accounting, sending pending entries, receiving and
// dispatching packets, the network thread and the device report.
//
// link_state is a process-wide singleton that lives until the process ends. Its own lock
// guards every field and is never held across a connect, a write or a DNS query. Lock order:
// the accounting lock, then the link, then a socket or the log; the search lock, then the
// resolver, then the link. The connection comes and goes; the address, once chosen, stays.
#pragma once

#include <cstdint>
#include <ctime>

struct bt_device;
struct dns_resolver;
struct pendq_entry;
struct pkt_packet;
struct sock_socket;
struct tbl_table;

inline constexpr const char *LINK_HOST_LABEL = "dev";
inline constexpr const char *LINK_SERVICE_DOMAIN = VESK_SERVICE_DOMAIN;
inline constexpr uint16_t LINK_PORT = 32000;

struct link_state {
    sock_socket *connection; // with a reference of the link's own
    char *address;           // dotted IPv4 text, null until chosen
    char *label;
    uint16_t port; // 0: none
    uint8_t short_failures;
    uint8_t long_failures;
    time_t keepalive; // deadline, seconds
};

// One connection's socket loop: the link it reports to, the connection it serves and the bytes
// of a packet header that arrived in pieces. Only the loop thread touches it.
struct link_conn {
    link_state *link;        // with a reference
    sock_socket *connection; // no reference: its loop, which holds one, outlives every use
    uint8_t head[14];
    uint8_t held; // bytes of head read so far
};

// State and failure accounting.
[[nodiscard]] link_state *link_get();
void link_destroy(void *link);
// Copies the address into buf (len bytes, always terminated, the rest zero); 1 when one is set.
int link_get_address(link_state *link, char *buf, int len);
void link_set_address(link_state *link, const char *address, uint16_t port, const char *note,
                      int log);
void link_set_address_if_valid(link_state *link, const char *address, uint16_t port,
                               const char *note, int log);
// Counts a failure at now (0: no time); with reset the counters restart. A counted failure
// closes the connection. 1 when the counters were reset.
int link_note_failure(uint8_t reset, time_t now);
// The loop of ended has finished: the link lets go of that connection, never of a newer one
// (null: of whatever it holds), and counts the drop.
void link_drop_connection(link_state *link, sock_socket *ended);
void link_clear_failures();
void link_refresh_keepalive();
int link_check_keepalive(time_t now);
void link_set_label(const char *label, const char *domain, uint16_t port);
int link_has_label(const char *label);
int link_get_long_failures();

// Sending. Results: 1 sent; 0 sent and the entry is done (a CMD 3 or 4 packet, after which a
// poll went out); -1 not sent.
using link_connect_fn = void (*)(link_state *link, sock_socket *s);
int link_send_entry(dns_resolver *resolver, link_state *link, pendq_entry *entry);
int link_transmit_entry(link_state *link, pendq_entry *entry, link_connect_fn on_connect, int log);
// 1 when the whole packet went out. Anything less closes the connection: the rest of a packet
// cut short would be read by the service as the start of the next one.
int link_write_packet(sock_socket *s, pkt_packet *packet, int log);
void link_conn_opened_cb(link_state *link, sock_socket *s);

// Receiving, on the connection's loop thread. The raw bytes handed to link_dispatch_packet
// belong to it.
using link_request_fn = int (*)(int8_t cmd, tbl_table *tokens);
void link_conn_readable_cb(sock_socket *s, void *conn);
int link_read_packet(sock_socket *s, link_conn *conn, uint8_t **raw);
void link_dispatch_packet(sock_socket *s, link_request_fn handler, int log, uint8_t *raw, int n);
void link_conn_closed_cb(void *conn);
void link_conn_destroy(void *conn);

// The service's address.
[[nodiscard]] dns_resolver *link_resolver_get_or_create(const char *label, const char *domain,
                                                        uint16_t port);
[[nodiscard]] dns_resolver *link_resolver_get();
void link_configure_server(const char *label, const char *domain, uint16_t port);
void link_apply_dns_config(int mode, const char *ns1, const char *ns2);
int link_resolve_server(dns_resolver *resolver, link_state *link);
// -1 no resolver or no target; 0 as root, no target answered and the last had an address;
// 1 otherwise.
int link_choose_address(dns_resolver *resolver, link_state *link, const char *interface,
                        const char *source, uint8_t first_ttl, uint8_t ttl_limit, int log);

// The network thread and the device report.
void link_start(const char *label, const char *domain, uint16_t port);
long link_net_thread_main(void *arg);
void link_net_thread_exit_cb(void *arg);
void link_send_device_report(bt_device *dev, uint8_t paired, uint8_t obr);
int link_device_report_reply_cb(sock_socket *s, int8_t sent, int8_t reply, tbl_table *tokens,
                                uint16_t mid, void *user);
