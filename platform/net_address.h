#pragma once
// IP addresses of either family: their text forms, prefixes of them, which of
// them are this machine's own, and the addresses a host name stands for.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kiv {

enum class AddressFamily : uint8_t { None, IPv4, IPv6 };

/// NetAddress is an IPv4 or IPv6 address, without a port: an IPv4 address
/// fills the first four bytes, in network order like every address here.
struct NetAddress {
  AddressFamily family = AddressFamily::None;
  uint8_t bytes[16] = {};
  /// The zone (interface index) of a link-local IPv6 address, 0 for none.
  uint32_t scope = 0;

  bool operator==(const NetAddress& other) const;
};

/// Room for the text form of any address, its zone included.
constexpr size_t ADDRESS_TEXT_SIZE = 64;

/// Reads the usual text form of an address: four decimal numbers with dots,
/// or the colon-separated hex of RFC 4291. False for anything else.
bool parse_address(const char* text, NetAddress& address);
/// Reads the text of a host that is not a name: what parse_address reads,
/// or the shorter and hex forms of IPv4 that inet_addr has always taken
/// (127.1, 0x7f.0.0.1). An IPv4 address mapped into IPv6 (::ffff:a.b.c.d)
/// is read as the IPv4 address it is, so that it is connected to as IPv4
/// on every system (an IPv6 socket of Windows reaches no IPv4 address).
bool parse_host_address(const char* text, NetAddress& address);
/// The usual text form of `address`; an IPv4 address mapped into IPv6
/// (::ffff:a.b.c.d) is written as the IPv4 address it is.
void format_address(const NetAddress& address, char (&text)[ADDRESS_TEXT_SIZE]);
/// `address` itself, or the IPv4 address an IPv4-mapped IPv6 one carries.
NetAddress unmapped_address(const NetAddress& address);
/// The unspecified address of `family` (0.0.0.0 or ::), which binds to every local address.
NetAddress any_address(AddressFamily family);
/// Whether the first `length` bits of `address` are those of `network`,
/// both of one family once unmapped; a length of 0 takes any address of that family.
bool in_prefix(const NetAddress& address, const NetAddress& network, int length);

/// Whether `address` is an address of this machine (a loopback address included).
bool is_local_address(const NetAddress& address);
/// Looks `name` up: its addresses of both families in the order the system
/// gives them (the order to try them in; mapped ones as IPv4), or an empty list.
std::vector<NetAddress> resolve_host(const char* name);

}  // namespace kiv
