// Shared by the link's sources, not part of its interface.
#pragma once

struct dns_resolver;
struct link_state;
struct sock_socket;

// The resolver slot without a reference: the slot keeps its resolver for the life of the
// process, and retaining would wait out another thread's DNS exchange, which holds the
// resolver's lock. Null until a resolver was made.
dns_resolver *link_resolver_peek();

// Whether the socket was asked to close, or found closed; its loop then ends.
bool link_socket_closed(sock_socket *s);

// Takes the connection out of the link, asked to close; the caller holds the link's lock and
// releases the result once it no longer does.
sock_socket *link_take_connection(link_state *link);
