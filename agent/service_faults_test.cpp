#include "agent/service_faults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kiv;

namespace {

struct FaultCase {
  const char* text;
  bool shown;  // a warning (logged first); else a line only logged
  bool reported;
  ServiceEvent event;
  const char* insert;
};

}  // namespace

TEST(ServiceFaults, ReportsWarningsAndTheLinesThatLeaveAServiceUnserved) {
  const FaultCase cases[] = {
      {"kiv.cnf: Error in line 4", true, true, ServiceEvent::ConfigurationLine, "5"},
      {"Can't open log_file...", true, true, ServiceEvent::LogFile, "kiv.log"},
      {"Can't init sockets: 10091", true, true, ServiceEvent::Warning,
       "Can't init sockets: 10091"},
      {"Cannot open kiv.cnf", false, true, ServiceEvent::NoConfiguration, ""},
      {"Can't bind: 10048", false, true, ServiceEvent::CannotBind, "10048"},
      {"Can't connect to host: 127.0.0.1 10061", false, false, ServiceEvent::Warning, ""},
  };
  for (const FaultCase& c : cases) {
    ServiceFaults faults;
    faults.line_logged(c.text);
    if (c.shown) faults.warning_shown(c.text);
    std::vector<ServiceFault> taken = faults.take();
    ASSERT_EQ(taken.size(), c.reported ? 1u : 0u) << c.text;
    if (c.reported) {
      EXPECT_EQ(taken[0].event, c.event) << c.text;
      EXPECT_EQ(taken[0].insert, c.insert) << c.text;
    }
  }
}
