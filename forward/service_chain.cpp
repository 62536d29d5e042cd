#include "forward/service_chain.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/no_destructor.h"
#include "platform/socket.h"

namespace kiv {

namespace {

struct Outgoing {
  uint16_t local_port;
  ServiceChain chain;
};

// Connections from this agent to its own ports now open: as many as relays
// that forward to another service of the agent.
struct OutgoingConnections {
  std::mutex guard;
  std::vector<Outgoing> open;  // guarded by guard
};

OutgoingConnections& outgoing() {
  static NoDestructor<OutgoingConnections> connections;
  return *connections;
}

}  // namespace

bool chain_contains(const ServiceChain& chain, uint16_t port, const char* name) {
  for (int i = 0; i < chain.length; ++i) {
    if (chain.links[i].port == port && strcmp(chain.links[i].name, name) == 0) return true;
  }
  return false;
}

void extend_chain(ServiceChain& chain, uint16_t port, const char* name) {
  if (chain.length == MAX_SERVICES) return;
  ServiceChain::Link& link = chain.links[chain.length++];
  link.port = port;
  snprintf(link.name, sizeof link.name, "%s", name);
}

void describe_chain(const ServiceChain& chain, uint16_t next_port, char* text, size_t size) {
  size_t used = 0;
  text[0] = '\0';
  for (int i = 0; i < chain.length && used < size; ++i) {
    int n = snprintf(text + used, size - used, "%s %u -> ", chain.links[i].name,
                     chain.links[i].port);
    if (n < 0) return;
    used += static_cast<size_t>(n);
  }
  if (used < size) snprintf(text + used, size - used, "%u", next_port);
}

void note_outgoing(uint16_t local_port, const ServiceChain& chain) {
  OutgoingConnections& connections = outgoing();
  std::lock_guard<std::mutex> lock(connections.guard);
  connections.open.push_back(Outgoing{local_port, chain});
}

void forget_outgoing(uint16_t local_port) {
  OutgoingConnections& connections = outgoing();
  std::lock_guard<std::mutex> lock(connections.guard);
  for (size_t i = 0; i < connections.open.size(); ++i) {
    if (connections.open[i].local_port != local_port) continue;
    connections.open[i] = connections.open.back();
    connections.open.pop_back();
    return;
  }
}

ServiceChain chain_of_client(const NetAddress& peer_address, uint16_t peer_port) {
  OutgoingConnections& connections = outgoing();
  {
    std::lock_guard<std::mutex> lock(connections.guard);
    for (const Outgoing& connection : connections.open) {
      if (connection.local_port != peer_port) continue;
      // The port alone could be another program's on another host.
      if (is_local_address(peer_address)) return connection.chain;
      break;
    }
  }
  return ServiceChain{};
}

}  // namespace kiv
