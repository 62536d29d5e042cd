#include "tests/name_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace kiv_test {

namespace {

// Binds a UDP socket on the DNS port of the first free 127.0.0.x from 100 on:
// the socket, with its address in `address`, or -1.
int bind_name_server(std::string& address) {
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

NameService::NameService(const std::string& hosts, int answer_ms) {
  if (geteuid() != 0) {
    ADD_FAILURE() << "a name service of the test's own needs root (unshare -m, mount --bind)";
  }
  std::string server;
  server_ = bind_name_server(server);
  if (server_ < 0) ADD_FAILURE() << "no 127.0.0.x:53 left for a name server";
  if (server_ >= 0 && answer_ms >= 0) {
    answering_ = std::thread([this, answer_ms] { answer_late(answer_ms); });
  }
  folder_.write("hosts", hosts);
  folder_.write("resolv.conf", "nameserver " + server + "\noptions timeout:5 attempts:2\n");
}

NameService::~NameService() {
  stopping_ = true;
  if (answering_.joinable()) answering_.join();
  if (server_ >= 0) close(server_);
}

void NameService::answer_late(int answer_ms) {
  // An answer's one record: the name of the question (at offset 12), type A,
  // class IN, 60 s to live, 4 bytes: 127.0.0.1.
  const uint8_t record[] = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
  while (!stopping_) {
    pollfd ready{server_, POLLIN, 0};
    if (poll(&ready, 1, 100) != 1) continue;
    uint8_t query[512];
    sockaddr_storage from{};
    socklen_t from_size = sizeof from;
    const ssize_t size = recvfrom(server_, query, sizeof query, 0,
                                  reinterpret_cast<sockaddr*>(&from), &from_size);
    // The 12-byte header, then the question: its name's labels, type and class.
    size_t end = 12;
    while (end < sizeof query && end < static_cast<size_t>(size) && query[end] != 0) {
      end += query[end] + 1;
    }
    end += 5;
    if (size < 12 || end > static_cast<size_t>(size)) continue;
    std::vector<uint8_t> answer(query, query + end);
    const bool type_a = query[end - 4] == 0 && query[end - 3] == 1;
    answer[2] = 0x81;  // an answer, to a question that asked for recursion
    answer[3] = 0x80;  // recursion available, no error
    std::fill(answer.begin() + 6, answer.begin() + 12, 0);  // no records but the answer's
    answer[7] = type_a ? 1 : 0;
    if (type_a) answer.insert(answer.end(), record, record + sizeof record);
    std::this_thread::sleep_for(std::chrono::milliseconds(answer_ms));
    sendto(server_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
           from_size);
  }
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
