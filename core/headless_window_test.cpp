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

void note_queued_first() { seen.push_back("queued first"); }

void note_thread_closed() { seen.push_back("thread closed"); }

void end_loop() { loop_window->end_event_loop(0); }

}  // namespace

// A listener's last notification never waits for the window thread, and is
// handled there in its place among what other threads queued.
TEST(HeadlessWindow, QueuesAThreadClosedWithoutWaitingAndHandlesItInOrder) {
  HeadlessWindow window;
  loop_window = &window;
  handle_thread_closed_with(note_thread_closed);
  window.post(note_queued_first);
  std::future<void> sent = std::async(std::launch::async, [&window] {
    window.deliver(NOTIFY_THREAD_CLOSED);
  });
  bool returned = sent.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  window.post(end_loop);
  window.run_event_loop();
  handle_thread_closed_with(nullptr);
  EXPECT_TRUE(returned) << "the sender waited for a window thread that was not running";
  EXPECT_EQ(seen, (std::vector<std::string>{"queued first", "thread closed"}))
      << "the thread's end was handled before what was queued ahead of it";
}
