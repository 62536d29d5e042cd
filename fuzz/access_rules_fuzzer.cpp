// Any bytes as kiv.access: the reading ends, no service gets more listen
// addresses than it may have, and a question about any client is answered.
#include <cstdlib>

#include "core/access_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  kiv::AccessRules rules = kiv::AccessRules::parse(text, size);
  kiv::NetAddress four, six;
  kiv::parse_address("10.0.0.1", four);
  kiv::parse_address("2001:db8::1", six);
  for (const char* service : {"S", "KIV", "*", "MAIL"}) {
    if (rules.listen_addresses(service).size() > kiv::MAX_LISTEN_ADDRESSES) abort();
    rules.admits(service, four);
    rules.admits(service, six);
  }
  return 0;
}
