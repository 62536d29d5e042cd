#include "platform/event_wait.h"

#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>
#include <winternl.h>

#include <unordered_map>
#include <vector>

#include "platform/mutex.h"

namespace kiv {

// An I/O completion port with a poll request of the socket driver (AFD) for
// each armed socket: the request completes once, through the port, as soon
// as one of the socket's conditions it asks for holds, and the socket is
// then disarmed until modify_waiting arms it again. No wait walks the set:
// its cost is the sockets that are ready, not the sockets that are waited
// on. A wake is a packet of its own posted to the port.
//
// Only the waiting thread sends requests. A request can be cancelled when
// the thread that sent it ends, and the threads that add and modify sockets
// (the workers) come and go; so they queue the socket and post a packet
// that makes the waiter send its request.
namespace {

// The completion key of the packet that asks the waiter to send requests
// (the driver's completions and the wakes have key 0).
constexpr ULONG_PTR ARM_KEY = 1;

// The socket driver's poll request, as the driver takes it.
constexpr DWORD AFD_POLL_IOCTL = 0x12024;
constexpr ULONG AFD_POLL_RECEIVE = 0x1;
constexpr ULONG AFD_POLL_SEND = 0x4;
constexpr ULONG AFD_POLL_DISCONNECT = 0x8;  // the peer's orderly end
constexpr ULONG AFD_POLL_ABORT = 0x10;      // a reset
constexpr ULONG AFD_POLL_LOCAL_CLOSE = 0x20;
// 0x40 (connected) is never asked for: it holds for a connection's whole
// life, so a request asking for it would complete at once for ever.
constexpr ULONG AFD_POLL_ACCEPT = 0x80;
constexpr ULONG AFD_POLL_CONNECT_FAIL = 0x100;

struct AfdPollHandle {
  HANDLE handle;
  ULONG events;
  NTSTATUS status;
};

struct AfdPollInfo {
  LARGE_INTEGER timeout;
  ULONG handle_count;
  ULONG exclusive;
  AfdPollHandle handles[1];
};

ULONG poll_events(Readiness interest) {
  ULONG events = AFD_POLL_ABORT | AFD_POLL_CONNECT_FAIL | AFD_POLL_LOCAL_CLOSE;
  if (has(interest, Readiness::Readable)) {
    events |= AFD_POLL_RECEIVE | AFD_POLL_ACCEPT | AFD_POLL_DISCONNECT;
  }
  if (has(interest, Readiness::Writable)) events |= AFD_POLL_SEND;
  return events;
}

Readiness readiness_of(ULONG events) {
  Readiness news = Readiness::None;
  if (events & (AFD_POLL_RECEIVE | AFD_POLL_ACCEPT | AFD_POLL_DISCONNECT)) {
    news |= Readiness::Readable;
  }
  if (events & AFD_POLL_SEND) news |= Readiness::Writable;
  if (events & (AFD_POLL_ABORT | AFD_POLL_CONNECT_FAIL)) news |= Readiness::Failed;
  return news;
}

// One socket of the set and its poll request. It lives until its last
// request has come back through the port, which may be after the socket
// left the set.
struct Watched {
  OVERLAPPED request{};  // first: the port hands back its address
  AfdPollInfo poll{};
  SOCKET socket = INVALID_SOCKET;
  HANDLE base = nullptr;  // the driver's own handle of the socket
  Readiness interest = Readiness::None;  // waited for and not reported yet
  void* tag = nullptr;
  bool pending = false;     // a request is out, or its completion not yet taken
  bool queued = false;      // in to_arm: the waiter sends its request
  bool superseded = false;  // the interest changed under the request out: arm anew
  bool deleted = false;     // left the set; freed when its request comes back
};

}  // namespace

struct EventWait {
  HANDLE port = nullptr;
  HANDLE afd = nullptr;  // the driver, opened once for the whole set
  Mutex guard;
  std::unordered_map<SOCKET, Watched*> watched GUARDED_BY(guard);
  std::vector<Watched*> to_arm GUARDED_BY(guard);
  DWORD waiter GUARDED_BY(guard) = 0;  // the thread that waits
};

namespace {

HANDLE open_afd() {
  wchar_t name[] = L"\\Device\\Afd\\KivEventWait";
  UNICODE_STRING path{sizeof name - sizeof name[0], sizeof name, name};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, 0, nullptr, nullptr);
  HANDLE afd = nullptr;
  IO_STATUS_BLOCK status{};
  NTSTATUS opened = NtCreateFile(&afd, SYNCHRONIZE, &attributes, &status, nullptr, 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0);
  return opened == 0 ? afd : nullptr;
}

// Sends the socket's poll request for its interest. Returns 0 or the error.
int arm(EventWait& wait, Watched& watched) REQUIRES(wait.guard) {
  watched.request = OVERLAPPED{};
  watched.poll.timeout.QuadPart = INT64_MAX;
  watched.poll.handle_count = 1;
  watched.poll.exclusive = FALSE;
  watched.poll.handles[0] = AfdPollHandle{watched.base, poll_events(watched.interest), 0};
  if (!DeviceIoControl(wait.afd, AFD_POLL_IOCTL, &watched.poll, sizeof watched.poll,
                       &watched.poll, sizeof watched.poll, nullptr, &watched.request) &&
      GetLastError() != ERROR_IO_PENDING) {
    return static_cast<int>(GetLastError());
  }
  // Done at once or later, the request comes back through the port.
  watched.pending = true;
  return 0;
}

// Has the waiter send the socket's request before it next waits.
void queue_arm(EventWait& wait, Watched& watched) REQUIRES(wait.guard) {
  if (watched.queued) return;
  watched.queued = true;
  wait.to_arm.push_back(&watched);
  if (wait.to_arm.size() == 1 && GetCurrentThreadId() != wait.waiter) {
    PostQueuedCompletionStatus(wait.port, 0, ARM_KEY, nullptr);
  }
}

// Sends the queued requests; fills in a failure for each that cannot be
// sent. Returns how many events it filled in.
int send_queued(EventWait& wait, ReadyEvent* events, int capacity) REQUIRES(wait.guard) {
  int filled = 0;
  size_t done = 0;
  for (; done < wait.to_arm.size() && filled < capacity; ++done) {
    Watched& watched = *wait.to_arm[done];
    watched.queued = false;
    if (watched.deleted) {
      delete &watched;
    } else if (arm(wait, watched) != 0) {
      events[filled++] = ReadyEvent{watched.tag, Readiness::Failed};
    }
  }
  wait.to_arm.erase(wait.to_arm.begin(), wait.to_arm.begin() + done);
  return filled;
}

// What a request that came back reports, if anything; arms the socket anew
// when its interest changed while the request was out, or for the part of
// it that was not reported.
bool take_completion(EventWait& wait, Watched& watched, ReadyEvent& event)
    REQUIRES(wait.guard) {
  watched.pending = false;
  if (watched.deleted) {
    delete &watched;
    return false;
  }
  const bool done = watched.request.Internal == 0;  // the request's own status
  const ULONG events = done ? watched.poll.handles[0].events : 0;
  if (events & AFD_POLL_LOCAL_CLOSE) {
    // Closed before it left the set: nothing is left to report it to.
    auto found = wait.watched.find(watched.socket);
    if (found != wait.watched.end() && found->second == &watched) wait.watched.erase(found);
    delete &watched;
    return false;
  }
  if (watched.superseded || (done && readiness_of(events) == Readiness::None)) {
    watched.superseded = false;
    if (arm(wait, watched) == 0) return false;
    event = ReadyEvent{watched.tag, Readiness::Failed};
    return true;
  }
  // A request that ended otherwise than done (the driver dropped it) can
  // never report again: the socket is as good as failed.
  const Readiness news = done ? readiness_of(events) : Readiness::Failed;
  event = ReadyEvent{watched.tag, news};
  if (has(news, Readiness::Failed)) return true;
  // What was not reported stays waited for: one direction's news must not
  // cost the other direction of the same socket its wait.
  const Readiness both = Readiness::Readable | Readiness::Writable;
  watched.interest = static_cast<Readiness>(static_cast<unsigned>(watched.interest) &
                                            ~static_cast<unsigned>(news & both));
  if (has(watched.interest, both) && arm(wait, watched) != 0) event.events |= Readiness::Failed;
  return true;
}

// Takes a socket out of the set: freed now, or once its request is back.
void forget(EventWait& wait, std::unordered_map<SOCKET, Watched*>::iterator found)
    REQUIRES(wait.guard) {
  Watched* watched = found->second;
  wait.watched.erase(found);
  if (!watched->pending && !watched->queued) {
    delete watched;
    return;
  }
  watched->deleted = true;
  if (watched->pending) CancelIoEx(wait.afd, &watched->request);
}

}  // namespace

EventWait* create_event_wait() {
  HANDLE afd = open_afd();
  if (afd == nullptr) return nullptr;
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (port == nullptr || CreateIoCompletionPort(afd, port, 0, 0) == nullptr) {
    if (port != nullptr) CloseHandle(port);
    CloseHandle(afd);
    return nullptr;
  }
  // The port alone tells of a request's end: no event of the handle's is set.
  SetFileCompletionNotificationModes(afd, FILE_SKIP_SET_EVENT_ON_HANDLE);
  EventWait* wait = new EventWait;
  wait->port = port;
  wait->afd = afd;
  return wait;
}

int add_waiting(EventWait& wait, Socket s, Readiness interest, void* tag) {
  const SOCKET socket = static_cast<SOCKET>(s);
  HANDLE base = nullptr;
  DWORD size = 0;
  if (WSAIoctl(socket, SIO_BASE_HANDLE, nullptr, 0, &base, sizeof base, &size, nullptr,
               nullptr) != 0) {
    return WSAGetLastError();
  }
  MutexLock lock(wait.guard);
  // A socket of the same number that was closed without leaving the set
  // (Windows gives a closed socket's number to the next) is gone for good.
  auto found = wait.watched.find(socket);
  if (found != wait.watched.end()) forget(wait, found);
  Watched* watched = new Watched;
  watched->socket = socket;
  watched->base = base;
  watched->interest = interest;
  watched->tag = tag;
  wait.watched[socket] = watched;
  queue_arm(wait, *watched);
  return 0;
}

int modify_waiting(EventWait& wait, Socket s, Readiness interest, void* tag) {
  MutexLock lock(wait.guard);
  auto found = wait.watched.find(static_cast<SOCKET>(s));
  if (found == wait.watched.end()) return ERROR_NOT_FOUND;
  Watched& watched = *found->second;
  watched.tag = tag;
  if (!watched.pending) {
    watched.interest = interest;
    queue_arm(wait, watched);
    return 0;
  }
  // A request out for the same interest already waits for what is asked:
  // sending another would cost a round trip for nothing.
  if (interest == watched.interest) return 0;
  watched.interest = interest;
  if (!watched.superseded) {
    watched.superseded = true;
    CancelIoEx(wait.afd, &watched.request);  // it may have ended already: alike
  }
  return 0;
}

void delete_waiting(EventWait& wait, Socket s) {
  MutexLock lock(wait.guard);
  auto found = wait.watched.find(static_cast<SOCKET>(s));
  if (found != wait.watched.end()) forget(wait, found);
}

int wait_for_events(EventWait& wait, int timeout_ms, ReadyEvent* events, int capacity) {
  constexpr ULONG MAX_AT_ONCE = 256;
  OVERLAPPED_ENTRY completions[MAX_AT_ONCE];
  const ULONG most = capacity < static_cast<int>(MAX_AT_ONCE) ? capacity : MAX_AT_ONCE;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  // Completions that report nothing (a request cancelled, a socket gone)
  // and requests to send do not end the wait: only news, a wake or the time
  // limit do.
  for (;;) {
    {
      MutexLock lock(wait.guard);
      wait.waiter = GetCurrentThreadId();
      if (int failed = send_queued(wait, events, capacity)) return failed;
    }
    DWORD remaining = INFINITE;
    if (timeout_ms >= 0) {
      const ULONGLONG now = GetTickCount64();
      remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    }
    ULONG taken = 0;
    if (!GetQueuedCompletionStatusEx(wait.port, completions, most, &taken, remaining, FALSE)) {
      return GetLastError() == WAIT_TIMEOUT ? 0 : -1;
    }
    int filled = 0;
    bool woken = false;
    MutexLock lock(wait.guard);
    for (ULONG i = 0; i < taken; ++i) {
      if (completions[i].lpOverlapped == nullptr) {
        // Queued requests are sent at the top of the loop.
        woken = woken || completions[i].lpCompletionKey != ARM_KEY;
        continue;
      }
      Watched& watched = *reinterpret_cast<Watched*>(completions[i].lpOverlapped);
      if (take_completion(wait, watched, events[filled])) ++filled;
    }
    if (filled > 0 || woken) return filled;
  }
}

void wake_waiting(EventWait& wait) { PostQueuedCompletionStatus(wait.port, 0, 0, nullptr); }

}  // namespace kiv
