#include "bench/splice_relay.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "bench/bench_server.h"
#include "tests/loopback.h"

namespace kiv_bench {

namespace {

constexpr size_t SPLICE_CHUNK = 1 << 20;

// The two sockets of one connection, closed when both directions are done.
struct Connection {
  Connection(int client_socket, int server_socket) : client(client_socket), server(server_socket) {}
  ~Connection() {
    close(client);
    close(server);
  }
  int client;
  int server;
};

void move_bytes(std::shared_ptr<Connection> connection, bool to_server) {
  const int from = to_server ? connection->client : connection->server;
  const int to = to_server ? connection->server : connection->client;
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) == 0) {
    fcntl(pipe_ends[1], F_SETPIPE_SZ, static_cast<int>(SPLICE_CHUNK));
    for (;;) {
      ssize_t taken = splice(from, nullptr, pipe_ends[1], nullptr, SPLICE_CHUNK,
                             SPLICE_F_MOVE);
      if (taken <= 0) break;
      while (taken > 0) {
        ssize_t given = splice(pipe_ends[0], nullptr, to, nullptr, static_cast<size_t>(taken),
                               SPLICE_F_MOVE);
        if (given <= 0) break;
        taken -= given;
      }
      if (taken > 0) break;
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
  }
  shutdown(to, SHUT_WR);
}

[[noreturn]] void serve(int listening, uint16_t server_port) {
  const pid_t parent = getppid();
  while (getppid() == parent) {
    int client = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    int server = kiv_test::connect_loopback(server_port, 0);
    if (server < 0) {
      close(client);
      continue;
    }
    auto connection = std::make_shared<Connection>(client, server);
    std::thread(move_bytes, connection, true).detach();
    std::thread(move_bytes, connection, false).detach();
  }
  _exit(0);
}

}  // namespace

ForwarderProcess start_splice_relay(uint16_t server_port) {
  ForwarderProcess relay;
  relay.label = "splice relay";
  int listening = listen_loopback(&relay.port);
  relay.pid = fork();
  if (relay.pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    serve(listening, server_port);
  }
  close(listening);
  return relay;
}

}  // namespace kiv_bench
