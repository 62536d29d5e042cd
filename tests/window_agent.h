#pragma once
// The agent with its status window, run inside a Qt Test process.

#include <QColor>
#include <QObject>

#include <functional>
#include <string>

#include "tests/temp_folder.h"
#include "ui/qt/status_window.h"

namespace kiv_test {

/// Starts the agent in this process as kiv-agent does, with `configuration`
/// as kiv.cnf (and an empty kiv.log if asked) in a temporary folder made the
/// working directory. One per process: the agent's threads outlive it.
class WindowAgent {
 public:
  explicit WindowAgent(const std::string& configuration, bool with_log_file = false);
  kiv::StatusWindow& window() { return *window_; }
  const TempFolder& folder() const { return folder_; }

 private:
  TempFolder folder_;
  kiv::StatusWindow* window_ = nullptr;
};

/// How many lines of the in-memory event log read exactly `text`.
int logged_count(const std::string& text);
/// The colour of the lamp of row `row` as painted now.
QColor lamp_colour(kiv::StatusWindow& window, int row);
/// Runs `work` on a thread of its own while this thread handles events, as
/// the agent's workers need of the window thread.
void run_beside_event_loop(const std::function<void()>& work);
/// Runs the Qt Test `test` and ends the process with its result, leaving the
/// agent's threads alone as kiv-agent does.
[[noreturn]] void run_window_test(QObject& test, int argc, char** argv);

}  // namespace kiv_test

#define KIV_WINDOW_TEST_MAIN(TestClass)             \
  int main(int argc, char** argv) {                 \
    QApplication application(argc, argv);           \
    QApplication::setQuitOnLastWindowClosed(false); \
    TestClass test;                                 \
    kiv_test::run_window_test(test, argc, argv);    \
  }
