// Shared by the resolver's operations: each replaces the channel so that the system's resolver
// configuration is read anew.
#pragma once

#include "netenv/dns.h"

// Destroys the channel and makes a new one with the library defaults. Resolver locked.
bool dns_renew_channel(dns_resolver *r);
