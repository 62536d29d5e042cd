#include "core/access_rules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "core/event_log.h"
#include "core/event_log_limiter.h"
#include "core/service_table.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"

namespace kiv {

namespace {

// Lines that can't be read past this many close their services unlogged:
// a binary file would otherwise fill the log.
constexpr int MOST_LOGGED_ERRORS = 10;
constexpr int MOST_FIELDS = 3;
// UTF-8's byte-order mark: unseen in an editor, so never part of a name that can be read.
const std::string BYTE_ORDER_MARK = "\xEF\xBB\xBF";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A byte that has no place in a text line (the line comes from a binary file).
bool is_control(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return (byte < 0x20 && !is_blank(c)) || byte == 0x7f;
}

bool is_rule_word(const std::string& word) {
  return word == "listen" || word == "allow" || word == "deny";
}

bool read_number(const std::string& text, int most, int& value) {
  if (text.empty() || text.size() > 3) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= most;
}

// Reads "*", an address, or address/length into `rule`.
bool read_prefix(const std::string& text, AccessRule& rule) {
  if (text == "*") {
    rule.address = NetAddress{};
    rule.length = 0;
    return true;
  }
  size_t slash = text.find('/');
  if (!parse_address(text.substr(0, slash).c_str(), rule.address)) return false;
  const int bits = rule.address.family == AddressFamily::IPv6 ? 128 : 32;
  rule.length = bits;
  if (slash != std::string::npos && !read_number(text.substr(slash + 1), bits, rule.length)) {
    return false;
  }
  // ::ffff:10.0.0.0/104 is 10.0.0.0/8, which is how an IPv4 client is matched.
  NetAddress four = unmapped_address(rule.address);
  if (!(four == rule.address) && rule.length >= 96) {
    rule.address = four;
    rule.length -= 96;
  }
  return true;
}

bool applies(const AccessRule& rule, const char* service) {
  return rule.service == "*" || rule.service == service;
}

bool matches(const AccessRule& rule, const NetAddress& client) {
  return rule.address.family == AddressFamily::None ||
         in_prefix(client, rule.address, rule.length);
}

// LoadedRules are the rules the services follow, replaced whole at each
// reading; never destroyed, as listeners may still ask while the process exits.
struct LoadedRules {
  Mutex guard;
  std::shared_ptr<const AccessRules> rules GUARDED_BY(guard);
};

LoadedRules& loaded() {
  static NoDestructor<LoadedRules> loaded_rules;
  return *loaded_rules;
}

std::shared_ptr<const AccessRules> loaded_rules() {
  LoadedRules& current = loaded();
  MutexLock lock(current.guard);
  return current.rules;
}

}  // namespace

// What the lines read so far give the services to listen on, kept as the
// file is read so that each listen line is bounded at once, whatever the
// file's length: the addresses of the `*` rules, and each service's own
// addresses apart from those.
struct AccessRules::Reading {
  int errors = 0;
  std::vector<NetAddress> every_row;
  std::map<std::string, std::vector<NetAddress>> own;
  size_t most_own = 0;  // the most own addresses any one service has

  // Whether a listen rule for `service` may be added: a rule for every row
  // adds to the most that any one row has.
  bool may_listen(const std::string& service) const {
    auto found = own.find(service);
    size_t own_count = service == "*" ? most_own : found == own.end() ? 0 : found->second.size();
    return every_row.size() + own_count < static_cast<size_t>(MAX_LISTEN_ADDRESSES);
  }

  void listen(const std::string& service, const NetAddress& address) {
    if (contains(every_row, address)) return;
    if (service != "*") {
      std::vector<NetAddress>& addresses = own[service];
      if (!contains(addresses, address)) addresses.push_back(address);
      most_own = std::max(most_own, addresses.size());
      return;
    }
    every_row.push_back(address);
    most_own = 0;
    for (auto& [name, addresses] : own) {
      addresses.erase(std::remove(addresses.begin(), addresses.end(), address), addresses.end());
      most_own = std::max(most_own, addresses.size());
    }
  }

  static bool contains(const std::vector<NetAddress>& addresses, const NetAddress& address) {
    return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
  }
};

AccessRules AccessRules::parse(const char* text, size_t size) {
  AccessRules rules;
  // Notepad and its kind open a UTF-8 file with a mark that is no part of the first name.
  const size_t mark = BYTE_ORDER_MARK.size();
  size_t start = size >= mark && BYTE_ORDER_MARK.compare(0, mark, text, mark) == 0 ? mark : 0;
  Reading reading;
  for (int number = 1; start < size; ++number) {
    const char* end = static_cast<const char*>(memchr(text + start, '\n', size - start));
    size_t length = end != nullptr ? static_cast<size_t>(end - text) - start : size - start;
    rules.add_line(text + start, length, number, reading);
    start += length + 1;
  }
  return rules;
}

AccessRules AccessRules::closing_every_service() {
  AccessRules rules;
  rules.rules_.push_back(AccessRule{"*", RuleKind::Broken, NetAddress{}, 0, 0});
  return rules;
}

void AccessRules::add_line(const char* line, size_t size, int number, Reading& reading) {
  std::string fields[MOST_FIELDS + 1];
  int count = 0;
  bool binary = false;
  for (size_t i = 0; i < size && line[i] != '#'; ++i) {
    if (is_control(line[i])) binary = true;
    if (is_blank(line[i])) continue;
    if (i == 0 || is_blank(line[i - 1])) ++count;
    if (count <= MOST_FIELDS + 1) fields[count - 1] += line[i];
  }
  if (count == 0 && !binary) return;
  for (int i = 0; i < count && i <= MOST_FIELDS; ++i) {
    binary = binary || fields[i].find(BYTE_ORDER_MARK) != std::string::npos;
  }

  // A name longer than a row's would be cut in kiv.cnf and never match here,
  // leaving open the row it means, and a short line that opens with a rule
  // has lost its name: a line that names no row can't be read.
  const bool names_a_row = !binary && fields[0].size() <= static_cast<size_t>(NAME_CAPACITY) &&
                           !(count < MOST_FIELDS && is_rule_word(fields[0]));
  AccessRule rule{fields[0], RuleKind::Broken, NetAddress{}, 0, number};
  bool good = names_a_row && count == MOST_FIELDS;
  if (good && fields[1] == "listen") {
    rule.kind = RuleKind::Listen;
    good = fields[2] != "*" && fields[2].find('/') == std::string::npos &&
           read_prefix(fields[2], rule);
    rule.address = unmapped_address(rule.address);
    good = good && reading.may_listen(rule.service);
    if (good) reading.listen(rule.service, rule.address);
  } else if (good && (fields[1] == "allow" || fields[1] == "deny")) {
    rule.kind = fields[1] == "allow" ? RuleKind::Allow : RuleKind::Deny;
    good = read_prefix(fields[2], rule);
  } else {
    good = false;
  }
  if (good) {
    rules_.push_back(rule);
    return;
  }
  // A typo must never leave a service open: a line that names no row closes every one.
  add_error(names_a_row ? fields[0] : "*", number, reading);
}

void AccessRules::add_error(const std::string& service, int number, Reading& reading) {
  rules_.push_back(AccessRule{service, RuleKind::Broken, NetAddress{}, 0, number});
  if (++reading.errors <= MOST_LOGGED_ERRORS) {
    log_eventf("%s: Error in line %d", ACCESS_FILE_NAME, number);
  }
}

bool AccessRules::admits(const char* service, const NetAddress& client) const {
  bool allow_given = false;
  for (const AccessRule& rule : rules_) {
    if (!applies(rule, service)) continue;
    if (rule.kind == RuleKind::Broken) return false;
    allow_given = allow_given || rule.kind == RuleKind::Allow;
  }
  for (const AccessRule& rule : rules_) {
    if (!applies(rule, service) || rule.kind == RuleKind::Listen) continue;
    if (matches(rule, client)) return rule.kind == RuleKind::Allow;
  }
  return !allow_given;
}

std::vector<NetAddress> AccessRules::listen_addresses(const char* service) const {
  std::vector<NetAddress> addresses;
  for (const AccessRule& rule : rules_) {
    if (rule.kind != RuleKind::Listen || !applies(rule, service)) continue;
    bool known = false;
    for (const NetAddress& address : addresses) known = known || address == rule.address;
    if (!known) addresses.push_back(rule.address);
  }
  return addresses;
}

void AccessRules::log_rules_naming_no_service(const ServiceTable& table) const {
  int logged = 0;
  for (const AccessRule& rule : rules_) {
    if (rule.kind == RuleKind::Broken || rule.service == "*") continue;
    bool named = false;
    for (int r = 0; r < table.service_count && !named; ++r) {
      named = rule.service == table.rows[r].config().name;
    }
    if (!named && ++logged <= MOST_LOGGED_ERRORS) {
      log_eventf("%s: line %d names no service", ACCESS_FILE_NAME, rule.line);
    }
  }
}

void load_access_rules() {
  AccessRules rules;
  FILE* file = open_binary_file_for_reading(ACCESS_FILE_NAME);
  if (file != nullptr) {
    // One byte past the bound tells a file that goes on from one that ends there.
    std::string text(ACCESS_FILE_LIMIT + 1, '\0');
    text.resize(fread(&text[0], 1, text.size(), file));
    fclose(file);
    if (text.size() > ACCESS_FILE_LIMIT) {
      // Rules past the bound are unknown, and any of them may be a deny.
      log_eventf("%s: longer than %u bytes", ACCESS_FILE_NAME,
                 static_cast<unsigned>(ACCESS_FILE_LIMIT));
      rules = AccessRules::closing_every_service();
    } else {
      rules = AccessRules::parse(text.data(), text.size());
      rules.log_rules_naming_no_service(service_table());
    }
  } else if (!file_is_missing(ACCESS_FILE_NAME)) {
    // A folder, a FIFO, a link to nothing, a file the agent may not read:
    // what it says is unknown, so no service takes a client until it is a
    // readable file.
    log_eventf("Cannot open %s", ACCESS_FILE_NAME);
    rules = AccessRules::closing_every_service();
  }
  auto read = std::make_shared<const AccessRules>(std::move(rules));
  LoadedRules& current = loaded();
  MutexLock lock(current.guard);
  current.rules.swap(read);
}

bool admit_by_access_rules(const char* name, const NetAddress& client) {
  std::shared_ptr<const AccessRules> rules = loaded_rules();
  if (rules == nullptr || rules->admits(name, client)) return true;
  char text[ADDRESS_TEXT_SIZE];
  format_address(client, text);
  log_event_limited((std::string(name) + " Refused").c_str(), "%s Refused %s", name, text);
  return false;
}

std::vector<NetAddress> listen_addresses(const char* name) {
  std::shared_ptr<const AccessRules> rules = loaded_rules();
  return rules == nullptr ? std::vector<NetAddress>{} : rules->listen_addresses(name);
}

}  // namespace kiv
