#include "tests/window_agent.h"

#include <QApplication>
#include <QTest>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "core/lifecycle.h"
#include "core/service_table.h"
#include "tests/event_lines.h"

namespace kiv_test {

WindowAgent::WindowAgent(const std::string& configuration, bool with_log_file) {
  folder_.write("kiv.cnf", configuration);
  if (with_log_file) folder_.write("kiv.log", "");
  if (chdir(folder_.path().c_str()) != 0) QFAIL("cannot enter the test folder");
  kiv::take_start_time();
  window_ = &kiv::create_status_window();
}

int logged_count(const std::string& text) {
  std::vector<std::string> held = held_events();
  return std::count(held.begin(), held.end(), text);
}

QColor lamp_colour(kiv::StatusWindow& window, int row) {
  return window.grab().toImage().pixelColor(105, row * kiv::ROW_SPACING + 9);
}

void run_beside_event_loop(const std::function<void()>& work) {
  std::future<void> done = std::async(std::launch::async, work);
  (void)QTest::qWaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 120000);
}

void run_window_test(QObject& test, int argc, char** argv) {
  int result = QTest::qExec(&test, argc, argv);
  fflush(nullptr);
  std::_Exit(result);
}

}  // namespace kiv_test
