#pragma once
// A unit test's fixture for code that works in the current folder: kiv.cnf, kiv.log, tables.

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/event_log.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv_test {

/// WorkingFolder makes a temporary folder the current one, starts the test with an empty event
/// log, and keeps the warnings shown where no window runs.
class WorkingFolder : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    kiv::flush_event_log();  // no kiv.log yet: the lines held are dropped
    kiv::install_window_thread(&window);
  }
  void TearDown() override { kiv::install_window_thread(nullptr); }

  TempFolder folder;
  KeptWarnings window;
};

}  // namespace kiv_test
