// Faulty peers and table files around the relays of an agent run in this
// process: each relay ends with the lines and counters that say what
// happened, and the agent comes back to rest.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>

#include "agent/lifecycle.h"
#include "forward/forwarding.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// How many of the agent's log lines so far contain `part`.
long lines_with(InProcessAgent& agent, const std::string& part) {
  std::vector<std::string> events = agent.events();
  return std::count_if(events.begin(), events.end(),
                       [&](const std::string& line) { return line.find(part) != line.npos; });
}

// The sockets of this process that probe their peer once idle.
int probing_sockets() {
  int probing = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    int on = 0;
    socklen_t size = sizeof on;
    if (getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size) == 0 && on != 0) ++probing;
  }
  return probing;
}

// Each relay reads its table file again until one loads: a bad one refuses
// the relay before the remote host is asked (a FIFO holds it waiting for no
// writer); a host that refuses ends the relay at once.
TEST(ConnectionFaults, ABadTableOrARefusingHostEndsTheRelayAtOnce) {
  const uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, free_port(), "127.0.0.1", "BAD"));
  ASSERT_EQ(mkfifo(folder.file("BAD.ctb").c_str(), 0644), 0);
  InProcessAgent agent(folder);
  EXPECT_EQ(round_trip(port, ""), "");
  std::remove(folder.file("BAD.ctb").c_str());
  folder.write("BAD.ctb", std::string(511, 'b'));
  EXPECT_EQ(round_trip(port, ""), "");
  folder.write("BAD.ctb", std::string(512, 'b'));
  EXPECT_EQ(round_trip(port, ""), "");
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 3));
  const std::pair<std::string, int> lines[] = {
      {"Can't open file: BAD.ctb", 1},
      {"Error in file: BAD.ctb", 1},
      {"S1 Connected", 1},
      {"Can't connect to host: 127.0.0.1 " + std::to_string(ECONNREFUSED), 1},
      {"Connection ERROR", 3},
  };
  for (const auto& [text, count] : lines) EXPECT_EQ(agent.event_count(text), count) << text;
  EXPECT_EQ(agent.row(0).errors_o, 2u) << "each table that failed";
  EXPECT_EQ(agent.row(0).errors_t, 0u) << "a failed connect is no transfer error";
  EXPECT_EQ(agent.row(0).state, kiv::SVC_ERROR);
}

// The remote host's early end reaches the client after the relay's pause
// before a half-close, and cuts the client's request short by no byte.
TEST(ConnectionFaults, ARemoteHostsEarlyEndCutsNoRequestShort) {
  std::promise<std::string> received;
  LoopbackServer remote([&](int fd) {
    send_bytes(fd, "greeting");
    shutdown(fd, SHUT_WR);
    received.set_value(receive(fd));
  });
  const uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  InProcessAgent agent(folder);
  int client = connect_loopback(port);
  const auto connected = std::chrono::steady_clock::now();
  EXPECT_EQ(receive(client, 8), "greeting");
  EXPECT_EQ(receive_to_end(client), 0) << "the remote host's end, before the client's own";
  EXPECT_GE(std::chrono::steady_clock::now() - connected,
            std::chrono::milliseconds(kiv::HALF_CLOSE_DELAY_MS));
  const std::string request = random_bytes(500000, 2);
  ASSERT_TRUE(send_bytes(client, request));
  shutdown(client, SHUT_WR);
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)"));
  close(client);
  EXPECT_EQ(received.get_future().get(), request);
  EXPECT_EQ(agent.row(0).bytes_written, request.size());
  EXPECT_EQ(agent.row(0).bytes_read, 8u);
}

// A client that resets while the remote host streams to it ends its relay as
// failed: a send that failed is a transfer error, a reset received is none.
TEST(ConnectionFaults, AClientResetUnderAStreamCountsOnlyAFailedSend) {
  LoopbackServer remote([](int fd) {
    const std::string block(65536, 's');
    for (int sent = 0; sent < 1024 && send_bytes(fd, block); ++sent) {
    }
  });
  const uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  InProcessAgent agent(folder);
  int client = connect_loopback(port);
  EXPECT_EQ(receive(client, 65536).size(), 65536u);
  close_with_reset(client);
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)"));
  EXPECT_EQ(agent.row(0).errors_t, lines_with(agent, "S1 Read error (send) "));
  EXPECT_EQ(lines_with(agent, "Shutdown"), 0) << "a reset passed on as a half-close";
}

// Both sockets of a relay probe their peer once idle, so that a peer that
// vanished ends it; once its burst has passed, it holds those two only: no
// pipe, no descriptor of a thread's.
TEST(ConnectionFaults, ARelayProbesBothPeersAndHoldsNoPipeOnceItsBurstHasPassed) {
  LoopbackServer echo(echo_handler);
  const uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, echo.port()));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([port] { return port_listening(port); }));
  const int idle_descriptors = descriptor_total(getpid());
  int client = connect_loopback(port);
  const std::string burst(16 << 20, 'k');
  std::thread sender([&] { send_bytes(client, burst); });
  EXPECT_EQ(receive(client, burst.size()).size(), burst.size());
  sender.join();
  EXPECT_EQ(probing_sockets(), 2) << "the relay's";
  // The relay's two sockets, the client and the echo's socket.
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors + 4; }));
  close(client);
}

// A reset interrupts a connect under way to a host that never answers; a
// later one is given up on. The restart reads the table files again.
TEST(ConnectionFaults, AResetInterruptsAConnectAndRereadsTheTables) {
  // A listener whose full backlog drops connection requests, as a firewall does.
  const uint16_t firewalled = free_port();
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(firewalled), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 0), 0);
  int queued = connect_loopback(firewalled);
  LoopbackServer echo(echo_handler);
  const uint16_t port = free_port();
  const uint16_t translated = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, firewalled) +
                              config_line("S2", translated, echo.port(), "127.0.0.1", "T"));
  folder.write("T.ctb", std::string(512, 'x'));  // every byte becomes an x, each way
  InProcessAgent agent(folder);
  for (uint16_t p : {port, translated}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  const int idle_descriptors = descriptor_total(getpid());
  EXPECT_EQ(round_trip(translated, "abc"), "xxx");
  folder.write("T.ctb", std::string(512, 'y'));
  int connecting = connect_loopback(port);
  ASSERT_TRUE(agent.wait_for_event("S1 Connected"));
  agent.post([] { kiv::after_configuration(1); });
  const std::string no_connect = "Can't connect to host: 127.0.0.1 ";
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(EINTR)));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 60000));
  int late = connect_loopback(port);
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(ETIMEDOUT), 1, 60000));
  EXPECT_EQ(receive(late), "");
  EXPECT_EQ(round_trip(translated, "abc"), "yyy");
  close(connecting);
  close(late);
  ASSERT_TRUE(agent.wait_until_idle(2));
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors; }));
  close(queued);
  close(silent);
}

// A row changed in the table (the Configuration dialog's "later") takes effect
// at the next restart: the running listener relays with the row it started with.
TEST(RunningService, RelaysWithTheRowItWasStartedWith) {
  auto greeter = [](const char* name) {
    return [name](int fd) {
      send_bytes(fd, name);
      receive_to_end(fd);
    };
  };
  LoopbackServer old_host(greeter("old")), new_host(greeter("new"));
  const uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, old_host.port()));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([port] { return port_listening(port); }));
  kiv::ServiceConfig changed = agent.row(0).config();
  changed.remote_port = new_host.port();
  agent.row(0).set_config(changed);
  int client = connect_loopback(port);
  EXPECT_EQ(receive(client, 3), "old");
  close(client);
}

}  // namespace
}  // namespace kiv_test
