#include "platform/event_wait.h"

#include <winsock2.h>

#include <mutex>
#include <unordered_map>
#include <vector>

namespace kiv {

// WSAPoll, on a set kept from one wait to the next. A wait cannot change
// the set it is in, so other threads' changes are recorded and made between
// two waits (waking the waiter when they come during one). WSAPoll reports
// a level: once a readiness is reported, its interest is taken out of the
// set until a modification puts it back, and a failed socket leaves the set
// until then, so a socket that nobody serves yet never makes the loop spin.
struct EventWait {
  struct Entry {
    Readiness interest = Readiness::None;
    void* tag = nullptr;
    int index = -1;        // in polled, or -1 while out of the set
    bool changed = false;  // a change waits to be made in polled
    bool deleted = false;
  };

  std::mutex guard;
  SOCKET wake = INVALID_SOCKET;                // a datagram socket connected to itself
  std::vector<WSAPOLLFD> polled;               // guarded; [0] is wake; the waiter's during a wait
  std::vector<SOCKET> changes;                 // guarded; sockets whose entry changed
  std::unordered_map<SOCKET, Entry> entries;   // guarded
  bool waiting = false;                        // guarded; a wait is in WSAPoll
};

namespace {

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

SHORT poll_events(Readiness interest) {
  SHORT events = 0;
  if (has(interest, Readiness::Readable)) events |= POLLRDNORM;
  if (has(interest, Readiness::Writable)) events |= POLLWRNORM;
  return events;
}

// Called with the guard held.
void send_wake(EventWait& wait) {
  char byte = 0;
  send(wait.wake, &byte, 1, 0);
}

// Called with the guard held.
void leave_set(EventWait& wait, EventWait::Entry& entry) {
  int last = static_cast<int>(wait.polled.size()) - 1;
  if (entry.index != last) {
    wait.polled[entry.index] = wait.polled[last];
    wait.entries[wait.polled[entry.index].fd].index = entry.index;
  }
  wait.polled.pop_back();
  entry.index = -1;
}

// Called with the guard held, between two waits.
void make_changes(EventWait& wait) {
  for (SOCKET s : wait.changes) {
    auto found = wait.entries.find(s);
    if (found == wait.entries.end() || !found->second.changed) continue;
    EventWait::Entry& entry = found->second;
    entry.changed = false;
    if (entry.deleted) {
      if (entry.index >= 0) leave_set(wait, entry);
      wait.entries.erase(found);
      continue;
    }
    if (entry.index < 0) {
      entry.index = static_cast<int>(wait.polled.size());
      wait.polled.push_back(WSAPOLLFD{s, 0, 0});
    }
    wait.polled[entry.index].events = poll_events(entry.interest);
  }
  wait.changes.clear();
}

int record_change(EventWait& wait, Socket s, Readiness interest, void* tag, bool deleted) {
  const SOCKET socket = static_cast<SOCKET>(s);
  std::lock_guard<std::mutex> lock(wait.guard);
  EventWait::Entry& entry = wait.entries[socket];
  entry.interest = interest;
  entry.tag = tag;
  entry.deleted = deleted;
  if (!entry.changed) wait.changes.push_back(socket);
  entry.changed = true;
  if (wait.waiting) send_wake(wait);
  return 0;
}

}  // namespace

EventWait* create_event_wait() {
  SOCKET wake = open_wake_socket();
  if (wake == INVALID_SOCKET) return nullptr;
  EventWait* wait = new EventWait;
  wait->wake = wake;
  wait->polled.push_back(WSAPOLLFD{wake, POLLRDNORM, 0});
  return wait;
}

int add_waiting(EventWait& wait, Socket s, Readiness interest, void* tag) {
  return record_change(wait, s, interest, tag, false);
}

int modify_waiting(EventWait& wait, Socket s, Readiness interest, void* tag) {
  return record_change(wait, s, interest, tag, false);
}

void delete_waiting(EventWait& wait, Socket s) { record_change(wait, s, Readiness::None, nullptr, true); }

int wait_for_events(EventWait& wait, int timeout_ms, ReadyEvent* events, int capacity) {
  {
    std::lock_guard<std::mutex> lock(wait.guard);
    make_changes(wait);
    wait.waiting = true;
  }
  int count = WSAPoll(wait.polled.data(), static_cast<ULONG>(wait.polled.size()), timeout_ms);
  std::lock_guard<std::mutex> lock(wait.guard);
  wait.waiting = false;
  if (count == SOCKET_ERROR) return -1;
  if (wait.polled[0].revents != 0) {
    char bytes[64];
    while (recv(wait.wake, bytes, sizeof bytes, 0) > 0) {
    }
  }
  int filled = 0;
  for (size_t i = 1; i < wait.polled.size() && filled < capacity;) {
    WSAPOLLFD& polled = wait.polled[i];
    const SHORT revents = polled.revents;
    polled.revents = 0;
    EventWait::Entry& entry = wait.entries[polled.fd];
    // A changed entry may carry another tag now: it is polled again first.
    if (revents == 0 || entry.changed) {
      ++i;
      continue;
    }
    Readiness news = Readiness::None;
    if (revents & POLLRDNORM) news |= Readiness::Readable;
    if (revents & POLLWRNORM) news |= Readiness::Writable;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) news |= Readiness::Failed;
    events[filled++] = ReadyEvent{entry.tag, news};
    if (has(news, Readiness::Failed)) {
      leave_set(wait, entry);  // the last entry moved here is looked at next
      continue;
    }
    polled.events &= static_cast<SHORT>(~poll_events(news));
    ++i;
  }
  return filled;
}

void wake_waiting(EventWait& wait) {
  std::lock_guard<std::mutex> lock(wait.guard);
  send_wake(wait);
}

}  // namespace kiv
