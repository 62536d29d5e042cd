#pragma once
// kiv.access, the optional file beside kiv.cnf that says on which local
// addresses each service listens and which clients may connect to it: one
// rule a line, "service rule address", blanks between the fields and `#`
// to the end of a line a comment.

#include <cstddef>
#include <string>
#include <vector>

#include "core/service_table.h"
#include "platform/net_address.h"

namespace kiv {

constexpr const char* ACCESS_FILE_NAME = "kiv.access";
/// Most bytes of kiv.access read; a longer file closes every service.
constexpr size_t ACCESS_FILE_LIMIT = 64 * 1024;
/// Most listen addresses one service may have.
constexpr int MAX_LISTEN_ADDRESSES = 8;

enum class RuleKind : uint8_t {
  Listen,  // the service listens on `address` only (with the other listen rules)
  Allow,   // a client in the prefix is admitted
  Deny,    // a client in the prefix is refused
  Broken,  // a line that could not be read: the service refuses every client
};

/// AccessRule is one line of kiv.access.
struct AccessRule {
  std::string service;  // a row's name, or "*" for every row
  RuleKind kind;
  NetAddress address;   // family None: every address ("*")
  int length;           // bits of `address` a client must share
  int line;             // the line of the file it comes from, from 1
};

/// AccessRules is the table of rules of one reading of kiv.access, and
/// answers the services' questions from it.
class AccessRules {
 public:
  /// Rules from the text of kiv.access, a UTF-8 byte-order mark at its start
  /// skipped. Each line that can't be read is logged "kiv.access: Error in
  /// line N" (the first few of them) and closes the service it names, or
  /// every service when it names none or `*`.
  static AccessRules parse(const char* text, size_t size);
  /// Rules that refuse every client of every service: a kiv.access that
  /// exists but can't be read.
  static AccessRules closing_every_service();

  /// Whether `service` may take a client from `client`: the first of its own
  /// and the `*` allow and deny rules that matches decides, in the file's
  /// order; when none matches, the client is admitted unless an allow rule
  /// applies to the service. An IPv4 client on an IPv6 socket matches as IPv4.
  bool admits(const char* service, const NetAddress& client) const;
  /// The local addresses `service` listens on, in the file's order; empty
  /// for every address.
  std::vector<NetAddress> listen_addresses(const char* service) const;
  /// Logs "kiv.access: line N names no service" for each rule (the first
  /// few of them) whose service is no configured row of `table`: a typo that
  /// would otherwise leave its row without the rule, and no word said.
  void log_rules_naming_no_service(const ServiceTable& table) const;

 private:
  struct Reading;
  void add_line(const char* line, size_t size, int number, Reading& reading);
  void add_error(const std::string& service, int number, Reading& reading);

  std::vector<AccessRule> rules_;
};

/// Reads kiv.access (none: no rules) into the rules the services follow
/// from their next start; at start-up and at every restart of the services.
void load_access_rules();
/// Whether service `name` may take a client from `client` by the rules
/// loaded; a refused client is logged "%s Refused %s", as a line a client
/// can make the agent repeat.
bool admit_by_access_rules(const char* name, const NetAddress& client);
/// The listen addresses of service `name` by the rules loaded.
std::vector<NetAddress> listen_addresses(const char* name);

}  // namespace kiv
