// Shared by the link's sources, not part of its interface.
#pragma once

struct dns_resolver;

// The resolver slot without a reference: the slot keeps its resolver for the life of the
// process, and retaining would wait out another thread's DNS exchange, which holds the
// resolver's lock. Null until a resolver was made.
dns_resolver *link_resolver_peek();
