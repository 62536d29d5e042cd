#include "core/headless_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "core/lifecycle.h"
#include "core/service_table.h"

using namespace kiv;

namespace {

HeadlessWindow* loop_window = nullptr;
std::vector<std::string> seen;  // window thread only

void note_reset_pending() { seen.push_back(reset_pending ? "reset pending" : "restarted"); }

void note_and_end() {
  note_reset_pending();
  loop_window->end_event_loop(0);
}

}  // namespace

// A listener's last notification never waits for the window thread, and is
// handled there in its place among what other threads queued.
TEST(HeadlessWindow, QueuesAThreadClosedWithoutWaitingAndHandlesItInOrder) {
  HeadlessWindow window;
  loop_window = &window;
  service_table().service_count = 0;  // the restart starts no service
  thread_count = 0;
  reset_pending = true;
  window.post(note_reset_pending);
  std::future<void> sent = std::async(std::launch::async, [&window] {
    window.deliver(NOTIFY_THREAD_CLOSED);
  });
  bool returned = sent.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  window.post(note_and_end);
  window.run_event_loop();
  EXPECT_TRUE(returned) << "the sender waited for a window thread that was not running";
  EXPECT_EQ(seen, (std::vector<std::string>{"reset pending", "restarted"}))
      << "the restart ran before what was queued ahead of it";
}
