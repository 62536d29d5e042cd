#pragma once
// The chain of this agent's own services that a connection passes through
// when a service forwards to another service of the same agent: what tells a
// chain of services (which relays) from a loop (which would relay each client
// to itself again until nothing is left).

#include <cstddef>
#include <cstdint>

#include "core/service_table.h"
#include "platform/net_address.h"

namespace kiv {

/// ServiceChain is the services a relay's client passed through, first to last.
struct ServiceChain {
  struct Link {
    uint16_t port;
    char name[NAME_CAPACITY + 1];
  };
  Link links[MAX_SERVICES];
  int length = 0;
};

/// Whether the service `name` at `port` is one of the chain's.
bool chain_contains(const ServiceChain& chain, uint16_t port, const char* name);
/// Adds the service at `port` to the end (a full chain stays as it is).
void extend_chain(ServiceChain& chain, uint16_t port, const char* name);
/// "A 7001 -> B 7002 -> 7001": the chain and then `next_port`.
void describe_chain(const ServiceChain& chain, uint16_t next_port, char* text, size_t size);

/// Notes that the connection leaving from local port `local_port` to one of
/// this agent's own ports continues `chain`, until forget_outgoing.
void note_outgoing(uint16_t local_port, const ServiceChain& chain);
void forget_outgoing(uint16_t local_port);
/// The chain that a client accepted from this machine's `peer_port` continues:
/// what note_outgoing noted for it, or an empty chain.
ServiceChain chain_of_client(const NetAddress& peer_address, uint16_t peer_port);

}  // namespace kiv
