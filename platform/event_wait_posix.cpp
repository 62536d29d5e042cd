#include "platform/event_wait.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kiv {

// Edge-triggered: a readiness is reported once, and a modification re-arms
// it, so a socket that nobody is ready to serve never wakes the loop twice.
struct EventWait {
  int poll_set;
  int wake;  // an eventfd: readable once wake_waiting wrote to it
};

namespace {

uint32_t epoll_events(Readiness interest) {
  uint32_t events = EPOLLET;
  if (has(interest, Readiness::Readable)) events |= EPOLLIN | EPOLLRDHUP;
  if (has(interest, Readiness::Writable)) events |= EPOLLOUT;
  return events;
}

int control(EventWait& wait, int operation, Socket s, Readiness interest, void* tag) {
  epoll_event event{};
  event.events = epoll_events(interest);
  event.data.ptr = tag;
  return epoll_ctl(wait.poll_set, operation, static_cast<int>(s), &event) == 0 ? 0 : errno;
}

}  // namespace

EventWait* create_event_wait() {
  int poll_set = epoll_create1(EPOLL_CLOEXEC);
  if (poll_set < 0) return nullptr;
  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  if (wake < 0 || epoll_ctl(poll_set, EPOLL_CTL_ADD, wake, &event) != 0) {
    if (wake >= 0) close(wake);
    close(poll_set);
    return nullptr;
  }
  return new EventWait{poll_set, wake};
}

int add_waiting(EventWait& wait, Socket s, Readiness interest, void* tag) {
  return control(wait, EPOLL_CTL_ADD, s, interest, tag);
}

int modify_waiting(EventWait& wait, Socket s, Readiness interest, void* tag) {
  return control(wait, EPOLL_CTL_MOD, s, interest, tag);
}

void delete_waiting(EventWait& wait, Socket s) {
  epoll_ctl(wait.poll_set, EPOLL_CTL_DEL, static_cast<int>(s), nullptr);
}

int wait_for_events(EventWait& wait, int timeout_ms, ReadyEvent* events, int capacity) {
  constexpr int MAX_AT_ONCE = 256;
  epoll_event ready[MAX_AT_ONCE];
  int count = epoll_wait(wait.poll_set, ready, capacity < MAX_AT_ONCE ? capacity : MAX_AT_ONCE,
                         timeout_ms);
  if (count < 0) return errno == EINTR ? 0 : -1;
  int filled = 0;
  for (int i = 0; i < count; ++i) {
    if (ready[i].data.ptr == nullptr) {
      uint64_t wakes;
      while (read(wait.wake, &wakes, sizeof wakes) > 0) {
      }
      continue;
    }
    Readiness news = Readiness::None;
    if (ready[i].events & (EPOLLIN | EPOLLRDHUP)) news |= Readiness::Readable;
    if (ready[i].events & EPOLLOUT) news |= Readiness::Writable;
    // A hang-up alone is both sides shut down in order (ours after our
    // half-close): receive and send tell what is left. A failure is an error.
    if (ready[i].events & EPOLLERR) {
      news |= Readiness::Failed;
    } else if (ready[i].events & EPOLLHUP) {
      news |= Readiness::Readable | Readiness::Writable;
    }
    events[filled++] = ReadyEvent{ready[i].data.ptr, news};
  }
  return filled;
}

void wake_waiting(EventWait& wait) {
  uint64_t one = 1;
  // A full counter still wakes the waiter: nothing is lost when this fails.
  [[maybe_unused]] ssize_t written = write(wait.wake, &one, sizeof one);
}

}  // namespace kiv
