#include "tests/name_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kiv_test {

namespace {

// Binds a UDP socket on the DNS port of the first free 127.0.0.x from 100 on:
// the socket, with its address in `address`, or -1.
int bind_silent_server(std::string& address) {
  for (int last = 100; last < 250; ++last) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    address = "127.0.0." + std::to_string(last);
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = htons(53);
    inet_pton(AF_INET, address.c_str(), &native.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&native), sizeof native) == 0) return fd;
    close(fd);
  }
  return -1;
}

}  // namespace

NameService::NameService(const std::string& hosts) {
  if (geteuid() != 0) {
    ADD_FAILURE() << "a name service of the test's own needs root (unshare -m, mount --bind)";
  }
  std::string server;
  silent_server_ = bind_silent_server(server);
  if (silent_server_ < 0) ADD_FAILURE() << "no 127.0.0.x:53 left for a silent name server";
  folder_.write("hosts", hosts);
  folder_.write("resolv.conf", "nameserver " + server + "\noptions timeout:5 attempts:2\n");
}

NameService::~NameService() {
  if (silent_server_ >= 0) close(silent_server_);
}

std::vector<std::string> NameService::command(const std::vector<std::string>& command) const {
  const std::string script =
      "mount --bind '" + folder_.file("hosts") + "' /etc/hosts && mount --bind '" +
      folder_.file("resolv.conf") + "' /etc/resolv.conf || " +
      "{ echo 'name service: mount --bind failed' >&2; exit 125; }; exec \"$0\" \"$@\"";
  std::vector<std::string> wrapped{"unshare", "-m", "--", "sh", "-c", script};
  wrapped.insert(wrapped.end(), command.begin(), command.end());
  return wrapped;
}

}  // namespace kiv_test
