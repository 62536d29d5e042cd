#include "platform/socket_watcher.h"

#include <winsock2.h>

#include <mutex>
#include <set>
#include <vector>

#include "platform/thread.h"

namespace kiv {

namespace {

// How long the watcher thread waits with no socket watched before it ends;
// the next socket watched starts another.
constexpr int IDLE_LIFETIME_MS = 2000;

struct Watch {
  SOCKET socket;
  void (*ready)(void*);
  void* argument;
  bool woken;  // shut down for receiving
};

// The watcher thread polls every watched socket and a datagram socket
// connected to itself, on which a byte wakes it to look at new watches. That
// socket lives as long as the thread, so that an idle agent holds neither.
struct Watcher {
  std::mutex guard;
  SOCKET wake = INVALID_SOCKET;  // guarded by guard; open while the watcher thread runs
  std::vector<Watch> watched;    // guarded by guard; new watches at the end
  std::set<SOCKET> shut_down;    // guarded by guard; open sockets shut down for receiving
};

// Never destroyed: its thread waits on it while the process exits.
Watcher& watcher() {
  static Watcher* watcher = new Watcher;
  return *watcher;
}

SOCKET open_wake_socket() {
  SOCKET wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (wake == INVALID_SOCKET) return wake;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long non_blocking = 1;
  if (bind(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(wake, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ioctlsocket(wake, FIONBIO, &non_blocking) != 0) {
    closesocket(wake);
    return INVALID_SOCKET;
  }
  return wake;
}

// Called with the guard held. A wake already on its way does as well.
void wake_watcher(Watcher& watcher) {
  char byte = 0;
  send(watcher.wake, &byte, 1, 0);
}

void watch_sockets(void*) {
  Watcher& watcher = kiv::watcher();
  std::vector<WSAPOLLFD> polled;
  std::vector<Watch> ready;
  SOCKET wake;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(watcher.guard);
      wake = watcher.wake;
      polled.assign(1, WSAPOLLFD{wake, POLLRDNORM, 0});
      for (const Watch& watch : watcher.watched) {
        // A woken watch is polled for nothing; it is called below at once.
        polled.push_back(WSAPOLLFD{watch.socket, static_cast<SHORT>(watch.woken ? 0 : POLLRDNORM), 0});
      }
    }
    int count = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), IDLE_LIFETIME_MS);
    if (polled[0].revents != 0) {
      char bytes[64];
      while (recv(wake, bytes, sizeof bytes, 0) > 0) {
      }
    }
    {
      std::lock_guard<std::mutex> lock(watcher.guard);
      if (count <= 0 && watcher.watched.empty()) {
        closesocket(wake);
        watcher.wake = INVALID_SOCKET;
        return;
      }
      // Watches added since the poll are at the end, past those polled.
      size_t kept = 0;
      for (size_t i = 0; i < watcher.watched.size(); ++i) {
        const Watch& watch = watcher.watched[i];
        bool polled_ready = i + 1 < polled.size() && polled[i + 1].revents != 0;
        if (watch.woken || polled_ready) {
          ready.push_back(watch);
        } else {
          watcher.watched[kept++] = watch;
        }
      }
      watcher.watched.resize(kept);
    }
    for (const Watch& watch : ready) {
      if (start_detached_thread(watch.ready, watch.argument) != 0) watch.ready(watch.argument);
    }
    ready.clear();
  }
}

}  // namespace

int call_when_readable(Socket s, void (*ready)(void*), void* argument) {
  Watcher& watcher = kiv::watcher();
  std::lock_guard<std::mutex> lock(watcher.guard);
  if (watcher.wake == INVALID_SOCKET) {
    watcher.wake = open_wake_socket();
    if (watcher.wake == INVALID_SOCKET) return WSAGetLastError();
    int error = start_detached_thread(watch_sockets, nullptr);
    if (error != 0) {
      closesocket(watcher.wake);
      watcher.wake = INVALID_SOCKET;
      return error;
    }
  }
  const SOCKET socket = static_cast<SOCKET>(s);
  watcher.watched.push_back(Watch{socket, ready, argument, watcher.shut_down.count(socket) > 0});
  wake_watcher(watcher);
  return 0;
}

void mark_shut_down(Socket s) {
  Watcher& watcher = kiv::watcher();
  const SOCKET socket = static_cast<SOCKET>(s);
  std::lock_guard<std::mutex> lock(watcher.guard);
  watcher.shut_down.insert(socket);
  for (Watch& watch : watcher.watched) {
    if (watch.socket != socket) continue;
    watch.woken = true;
    if (watcher.wake != INVALID_SOCKET) wake_watcher(watcher);
  }
}

void forget_shut_down(Socket s) {
  Watcher& watcher = kiv::watcher();
  std::lock_guard<std::mutex> lock(watcher.guard);
  watcher.shut_down.erase(static_cast<SOCKET>(s));
}

}  // namespace kiv
