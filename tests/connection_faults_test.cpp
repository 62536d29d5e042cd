// Faulty peers and table files around the relays of an agent run in this process: each relay ends with
// the lines and counters that say what happened, and the agent comes back to rest.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>

#include "forward/forwarding.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

using Lines = std::vector<std::string>;

long count_of(const Lines& lines, const std::string& part) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& e) { return e.find(part) != e.npos; });
}

// KIV is the control port; S1 relays to a remote host that does what its client's first byte asks, S2 to
// an echo through table T, S3 to a port that refuses through table BAD, S4 to a listener whose full
// backlog drops connection requests, as a firewall does.
TEST(ConnectionFaults, EachFaultEndsItsRelayAsItShouldAndTheAgentComesBackToRest) {
  std::promise<std::string> received;
  LoopbackServer remote([&](int fd) {
    char order = receive(fd, 1)[0];
    if (order == 'h') {  // half-closes at once, then takes the request
      send_bytes(fd, "greeting");
      shutdown(fd, SHUT_WR);
      received.set_value(receive(fd));
    } else if (order == 's') {  // streams
      for (int sent = 0; sent < 1024 && send_bytes(fd, std::string(65536, 's'));) ++sent;
    } else {  // echoes what follows
      echo_handler(fd);
    }
  });
  LoopbackServer echo(echo_handler);
  const uint16_t ports[5] = {free_port(), free_port(), free_port(), free_port(), free_port()}, firewalled = free_port();
  const uint16_t remotes[5] = {ports[0], remote.port(), echo.port(), free_port(), firewalled};
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(firewalled), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) + listen(silent, 0), 0);
  int queued = connect_loopback(firewalled);
  const char* tables[5] = {"NONE", "NONE", "T", "BAD", "NONE"};
  TempFolder folder;
  std::string config;
  for (int s = 0; s < 5; ++s)
    config += config_line(s ? "S" + std::to_string(s) : "KIV", ports[s], remotes[s], s ? "127.0.0.1" : "0.0.0.0", tables[s]);
  folder.write("kiv.cnf", config);
  folder.write("T.ctb", std::string(512, 'x'));  // every byte becomes an x, each way
  InProcessAgent agent(folder);
  for (uint16_t port : ports) ASSERT_TRUE(eventually([port] { return port_listening(port); }));
  const int idle_descriptors = descriptor_total(getpid());
  const std::string no_connect = "Can't connect to host: 127.0.0.1 ";

  // Each relay reads its table file again until one loads: a bad one refuses the relay before the remote
  // host is asked (a FIFO must not hold it waiting for a writer). A host that refuses ends the relay at once.
  ASSERT_EQ(mkfifo(folder.file("BAD.ctb").c_str(), 0644), 0);
  EXPECT_EQ(round_trip(ports[3], ""), "");
  std::remove(folder.file("BAD.ctb").c_str());
  folder.write("BAD.ctb", std::string(511, 'b'));
  EXPECT_EQ(round_trip(ports[3], ""), "");
  folder.write("BAD.ctb", std::string(512, 'b'));
  EXPECT_EQ(round_trip(ports[3], ""), "");
  ASSERT_TRUE(agent.wait_for_event("S3 - Connection closed(-1)", 3));
  const std::pair<std::string, int> s3_lines[] = {{"Error in file: BAD.ctb", 1}, {"Can't open file: BAD.ctb", 1},
      {"S3 Connected", 1}, {no_connect + std::to_string(ECONNREFUSED), 1}, {"Connection ERROR", 3}};
  for (const auto& [text, count] : s3_lines) EXPECT_EQ(agent.event_count(text), count) << text;
  EXPECT_EQ(agent.row(3).errors_o + 10 * agent.row(3).errors_t, 2u);  // a failed connect counts nowhere
  EXPECT_EQ(agent.row(3).state, kiv::SVC_ERROR);

  kiv::ServiceRecord& s1 = agent.row(1);
  // The remote host's early end must not cut the client's request short. It reaches the client
  // after the relay's pause before a half-close.
  int client = connect_loopback(ports[1]);
  std::string request = random_bytes(500000, 2);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ((send_bytes(client, "h"), receive(client, 8)), "greeting");
  EXPECT_EQ(receive_to_end(client), 0);  // passed on before the client's own end
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(kiv::HALF_CLOSE_DELAY_MS));
  ASSERT_TRUE(send_bytes(client, request));
  shutdown(client, SHUT_WR);
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)"));
  Lines events = agent.events();
  EXPECT_EQ(Lines(events.end() - 4, events.end()),
            (Lines{"S1 Connected", "S1 Read - Shutdown", "S1 Write - Shutdown", "S1 - Connection closed(0)"}));
  close(client);
  EXPECT_EQ(received.get_future().get(), request);
  EXPECT_EQ(s1.bytes_written + 10000 * s1.bytes_read, 1u + request.size() + 10000 * 8);

  // Against a streaming one, the Read pump's send may fail first: a transfer error.
  client = connect_loopback(ports[1]);
  EXPECT_EQ((send_bytes(client, "s"), receive(client, 65536)).size(), 65536u);
  close_with_reset(client);
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)"));
  EXPECT_EQ(s1.errors_t + 10 * count_of(agent.events(), "Shutdown"), count_of(agent.events(), "S1 Read error (send) ") + 20);

  // Once its burst has passed, a relay holds its two sockets only (besides the
  // client and the echo's): no pipe, no descriptor of a thread's.
  client = connect_loopback(ports[1]);
  std::string burst(16 << 20, 'k');
  std::thread sender([&] { send_bytes(client, burst); });
  EXPECT_EQ(receive(client, burst.size() - 1).size(), burst.size() - 1);
  sender.join();
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors + 4; }));
  close(client);

  // A restart reads the table files again.
  EXPECT_EQ(round_trip(ports[2], "abc"), "xxx");
  folder.write("T.ctb", std::string(512, 'y'));
  // A control client's reset is a transfer error; the next client is served.
  int control = connect_loopback(ports[0]);
  EXPECT_EQ((receive(control, 16), send_bytes(control, "help\r\n"), receive(control, 54)).size(), 54u);
  close_with_reset(control);
  ASSERT_TRUE(agent.wait_for_event("KIV Port - Connection Closed"));
  EXPECT_EQ(agent.row(0).errors_t, 1u);
  // A reset interrupts a connect in progress; a later one is given up on.
  int connecting = connect_loopback(ports[4]);
  ASSERT_TRUE(agent.wait_for_event("S4 Connected"));
  control = connect_loopback(ports[0]);
  EXPECT_EQ((receive(control, 16), send_bytes(control, "RESET\r\n"), receive(control)), "RESET OK\n");
  close(control);
  EXPECT_EQ(agent.row(0).bytes_read + 1000 * agent.row(0).bytes_written, 13u + 1000 * (16 + 54 + 16 + 9));
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(EINTR)));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 60000));
  int late = connect_loopback(ports[4]);
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(ETIMEDOUT), 1, 60000));
  EXPECT_EQ(receive(late), "");
  EXPECT_TRUE(agent.wait_for_event("S4 - Connection closed(-1)", 2));
  EXPECT_EQ(round_trip(ports[2], "abc"), "yyy");

  ASSERT_TRUE(agent.wait_until_idle(5));
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors + 2; }));
  for (int fd : {connecting, late, queued, silent}) close(fd);
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
