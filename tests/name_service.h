#pragma once
// A name service of a test's own for the agents it starts, so that no test depends on this
// machine's resolver.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_folder.h"

namespace kiv_test {

/// NameService gives an agent process its own /etc/hosts and /etc/resolv.conf
/// (bind-mounted over the machine's in a mount namespace made by `unshare -m`,
/// which needs root). A name not in the hosts file is asked of a name server
/// on 127.0.0.x:53 that never answers, so looking it up hangs (about 10 s),
/// or that answers late. Where the namespace or that server cannot be made,
/// the test fails saying why.
class NameService {
 public:
  /// `hosts` is the hosts file's text ("127.0.0.1 two.test\n..."). With
  /// `answer_ms` at 0 or more, the name server answers each question that
  /// long after it came: every name is 127.0.0.1, with no IPv6 address.
  explicit NameService(const std::string& hosts, int answer_ms = -1);
  ~NameService();
  NameService(const NameService&) = delete;
  NameService& operator=(const NameService&) = delete;

  /// The command that runs `command` (a program and its arguments) with this
  /// name service, as the same process.
  std::vector<std::string> command(const std::vector<std::string>& command) const;

 private:
  void answer_late(int answer_ms);

  TempFolder folder_;
  int server_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread answering_;
};

}  // namespace kiv_test
