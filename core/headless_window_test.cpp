#include "core/headless_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

using namespace kiv;

namespace {

HeadlessWindow* loop_window = nullptr;
std::vector<std::string> seen;  // window thread only

}  // namespace

// A listener's last notification never waits for the window thread, and is
// handled there in its place among what other threads queued.
TEST(HeadlessWindow, QueuesAThreadClosedWithoutWaitingAndHandlesItInOrder) {
  HeadlessWindow window;
  loop_window = &window;
  seen.clear();
  handle_thread_closed_with([] { seen.push_back("thread closed"); });
  window.post([] { seen.push_back("queued first"); });
  std::future<void> sent = std::async(std::launch::async, [&window] {
    window.deliver(NOTIFY_THREAD_CLOSED);
  });
  bool returned = sent.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  window.post([] { loop_window->end_event_loop(0); });
  window.run_event_loop();
  handle_thread_closed_with(nullptr);
  EXPECT_TRUE(returned) << "the sender waited for a window thread that was not running";
  EXPECT_EQ(seen, (std::vector<std::string>{"queued first", "thread closed"}))
      << "the thread's end was handled before what was queued ahead of it";
}
