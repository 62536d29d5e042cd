#include "tests/window_agent.h"

#include <QApplication>
#include <QTest>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/service_table.h"

namespace kiv_test {

namespace {

constexpr size_t kTimestampPrefix = 26;  // "Mon Jan 02 03:04:05 1995: "

}  // namespace

WindowAgent::WindowAgent(const std::string& configuration, bool with_log_file) {
  folder_.write("kiv.cnf", configuration);
  if (with_log_file) folder_.write("kiv.log", "");
  if (chdir(folder_.path().c_str()) != 0) QFAIL("cannot enter the test folder");
  kiv::take_start_time();
  window_ = &kiv::create_status_window();
}

int logged_count(const std::string& text) {
  int count = 0;
  kiv::read_event_log([&](const kiv::EventLog& log) {
    for (int i = 0; i < log.line_count; ++i) {
      const char* line = log.lines[i].get();
      if (strlen(line) >= kTimestampPrefix && text == line + kTimestampPrefix) ++count;
    }
  });
  return count;
}

QColor lamp_colour(kiv::StatusWindow& window, int row) {
  return window.grab().toImage().pixelColor(105, row * kiv::ROW_SPACING + 9);
}

void run_beside_event_loop(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread helper([&] {
    work();
    done = true;
  });
  if (!QTest::qWaitFor([&] { return done.load(); }, 120000))
    qWarning("still waiting for the helper thread");
  helper.join();
}

QWidget* open_modal() { return QApplication::activeModalWidget(); }

void run_window_test(QObject& test, int argc, char** argv) {
  int result = QTest::qExec(&test, argc, argv);
  fflush(stdout);
  fflush(stderr);
  std::_Exit(result);
}

}  // namespace kiv_test
