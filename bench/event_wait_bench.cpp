// The cost of one wake-up of the event wait, with few and with many sockets
// in the set: a byte sent to one socket of the set, its report, the read and
// the re-arm; and a wake from another thread. Built for Windows, run under
// wine by scripts/windows --bench.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event_wait.h"

using namespace kiv;
using Clock = std::chrono::steady_clock;

namespace {

struct Pair {
  Socket near_end;
  Socket far_end;
};

std::vector<Pair> connect_pairs(int count) {
  NetAddress loopback;
  parse_address("127.0.0.1", loopback);
  Socket listening = create_tcp_socket(AddressFamily::IPv4);
  if (bind_address(listening, loopback, 0, false) != 0 ||
      listen_on(listening, MAX_LISTEN_BACKLOG) != 0) {
    std::fprintf(stderr, "no listening socket\n");
    std::exit(1);
  }
  std::vector<Pair> pairs;
  NetAddress peer;
  uint16_t peer_port;
  while (static_cast<int>(pairs.size()) < count) {
    Socket far_end = create_tcp_socket(AddressFamily::IPv4);
    set_non_blocking(far_end);
    start_connect(far_end, loopback, local_port(listening));
    Socket near_end = NO_SOCKET;
    for (int tries = 0; tries < 1000 && near_end == NO_SOCKET; ++tries) {
      near_end = accept_client(listening, peer, peer_port);
      if (near_end == NO_SOCKET) sleep_ms(1);
    }
    if (near_end == NO_SOCKET) {
      std::fprintf(stderr, "no connection after %zu\n", pairs.size());
      std::exit(1);
    }
    pairs.push_back(Pair{near_end, far_end});
  }
  close_socket(listening);
  return pairs;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Microseconds from a byte's send until its socket is reported, read and re-armed.
std::vector<double> byte_wake_ups(EventWait& wait, std::vector<Pair>& pairs, int rounds) {
  std::vector<double> costs;
  ReadyEvent events[16];
  for (int round = 0; round < rounds; ++round) {
    Pair& pair = pairs[(round * 7919) % pairs.size()];
    Clock::time_point start = Clock::now();
    send_without_waiting(pair.far_end, "x", 1);
    bool reported = false;
    while (!reported) {
      int filled = wait_for_events(wait, 5000, events, 16);
      if (filled <= 0) {
        std::fprintf(stderr, "no report in 5 s\n");
        std::exit(1);
      }
      for (int i = 0; i < filled; ++i) reported |= events[i].tag == &pair;
    }
    char byte;
    receive_some(pair.near_end, &byte, 1);
    modify_waiting(wait, pair.near_end, Readiness::Readable, &pair);
    costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return costs;
}

// Microseconds from another thread's wake until the wait returns.
std::vector<double> thread_wake_ups(EventWait& wait, int rounds) {
  std::vector<double> costs;
  ReadyEvent events[16];
  for (int round = 0; round < rounds; ++round) {
    Clock::time_point start;
    std::thread waker([&] {
      start = Clock::now();
      wake_waiting(wait);
    });
    while (wait_for_events(wait, 5000, events, 16) != 0) {
    }
    Clock::time_point end = Clock::now();
    waker.join();
    costs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  return costs;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  if (start_sockets() != 0) return 1;
  std::printf("| sockets in the set | a byte reported, read and re-armed: median µs | "
              "a wake from another thread: median µs |\n| --- | --- | --- |\n");
  for (int count : {16, 2000}) {
    EventWait* wait = create_event_wait();
    std::vector<Pair> pairs = connect_pairs(count);
    for (Pair& pair : pairs) add_waiting(*wait, pair.near_end, Readiness::Readable, &pair);
    std::vector<double> bytes = byte_wake_ups(*wait, pairs, rounds);
    std::vector<double> wakes = thread_wake_ups(*wait, rounds);
    std::printf("| %d | %.0f | %.0f |\n", count, median(bytes), median(wakes));
    for (Pair& pair : pairs) {
      delete_waiting(*wait, pair.near_end);
      close_socket(pair.near_end);
      close_socket(pair.far_end);
    }
  }
  return 0;
}
