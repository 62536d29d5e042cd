#include "platform/socket_watcher.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "platform/thread.h"

namespace kiv {

namespace {

// How long the watcher thread waits with no socket watched before it ends;
// the next socket watched starts another.
constexpr int IDLE_LIFETIME_MS = 2000;
constexpr int EVENTS_AT_ONCE = 64;

struct Watch {
  void (*ready)(void*);
  void* argument;
};

// Each watched socket is in the epoll set for one event (EPOLLONESHOT); a
// closed socket leaves the set by itself. The set lives as long as the
// watcher thread, so that an idle agent holds neither.
struct Watcher {
  std::mutex guard;
  int epoll = -1;                         // guarded by guard; open while the watcher thread runs
  std::unordered_map<int, Watch> watched;  // guarded by guard; by socket, until its event
};

// Never destroyed: its thread waits on it while the process exits.
Watcher& watcher() {
  static Watcher* watcher = new Watcher;
  return *watcher;
}

void watch_sockets(void*) {
  Watcher& watcher = kiv::watcher();
  int epoll;
  {
    std::lock_guard<std::mutex> lock(watcher.guard);
    epoll = watcher.epoll;
  }
  epoll_event events[EVENTS_AT_ONCE];
  for (;;) {
    int count = epoll_wait(epoll, events, EVENTS_AT_ONCE, IDLE_LIFETIME_MS);
    Watch ready[EVENTS_AT_ONCE];
    int ready_count = 0;
    {
      std::lock_guard<std::mutex> lock(watcher.guard);
      if (count <= 0) {
        if (!watcher.watched.empty()) continue;
        close(epoll);
        watcher.epoll = -1;
        return;
      }
      for (int i = 0; i < count; ++i) {
        auto watch = watcher.watched.find(events[i].data.fd);
        if (watch == watcher.watched.end()) continue;
        ready[ready_count++] = watch->second;
        watcher.watched.erase(watch);
      }
    }
    for (int i = 0; i < ready_count; ++i) {
      if (start_detached_thread(ready[i].ready, ready[i].argument) != 0) ready[i].ready(ready[i].argument);
    }
  }
}

}  // namespace

int call_when_readable(Socket s, void (*ready)(void*), void* argument) {
  Watcher& watcher = kiv::watcher();
  const int socket = static_cast<int>(s);
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  event.data.fd = socket;
  std::lock_guard<std::mutex> lock(watcher.guard);
  int error = 0;
  if (watcher.epoll < 0) {
    watcher.epoll = epoll_create1(EPOLL_CLOEXEC);
    if (watcher.epoll < 0) {
      error = errno;
    } else if ((error = start_detached_thread(watch_sockets, nullptr)) != 0) {
      close(watcher.epoll);
      watcher.epoll = -1;
    }
  }
  // A socket watched before may still be in the set, its event spent.
  if (error == 0 && epoll_ctl(watcher.epoll, EPOLL_CTL_MOD, socket, &event) != 0 &&
      (errno != ENOENT || epoll_ctl(watcher.epoll, EPOLL_CTL_ADD, socket, &event) != 0)) {
    error = errno;
  }
  // Entered under the guard, which the watcher thread takes before it looks.
  if (error == 0) watcher.watched[socket] = Watch{ready, argument};
  return error;
}

}  // namespace kiv
