#include "agent/service_faults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kiv;

namespace {

struct FaultCase {
  const char* text;
  bool shown;  // a warning; else a line only logged
  std::vector<ServiceEvent> events;
  const char* insert;  // of the first event
};

}  // namespace

TEST(ServiceFaults, ReportsWarningsAndTheLinesThatLeaveAServiceUnserved) {
  const FaultCase cases[] = {
      {"kiv.cnf: Error in line 0", true, {ServiceEvent::ConfigurationLine}, "1"},
      {"kiv.cnf: Error in line 4", true, {ServiceEvent::ConfigurationLine}, "5"},
      {"Can't open log_file...", true, {ServiceEvent::LogFile}, "kiv.log"},
      {"Can't init sockets: 10091", true, {ServiceEvent::Warning}, "Can't init sockets: 10091"},
      {"Cannot open kiv.cnf", false, {ServiceEvent::NoConfiguration}, ""},
      {"Can't bind: 10048", false, {ServiceEvent::CannotBind}, "10048"},
      {"S1 Connected", false, {}, ""},
      {"Can't connect to host: 127.0.0.1 10061", false, {}, ""},
  };
  for (const FaultCase& c : cases) {
    ServiceFaults faults;
    if (c.shown) {
      faults.line_logged(c.text);  // a warning is logged first
      faults.warning_shown(c.text);
    } else {
      faults.line_logged(c.text);
    }
    std::vector<ServiceFault> taken = faults.take();
    std::vector<ServiceEvent> events;
    for (const ServiceFault& fault : taken) events.push_back(fault.event);
    EXPECT_EQ(events, c.events) << c.text;
    if (!taken.empty()) {
      EXPECT_EQ(taken[0].insert, c.insert) << c.text;
    }
  }
}

// A bad record of kiv.cnf is warned about twice in a row (the rest of its line
// reads as another bad record); another service's port in use is another fault.
TEST(ServiceFaults, ReportsAFaultOnceUntilAnotherLineIsLogged) {
  ServiceFaults faults;
  for (int i = 0; i < 2; ++i) {
    faults.line_logged("kiv.cnf: Error in line 0");
    faults.warning_shown("kiv.cnf: Error in line 0");
  }
  EXPECT_EQ(faults.take().size(), 1u) << "the repeated warning was reported again";
  for (const char* name : {"S1", "S2"}) {
    faults.line_logged("Can't bind: 10048");
    faults.line_logged((std::string(name) + " Error: Select 10038").c_str());
  }
  EXPECT_EQ(faults.take().size(), 2u) << "each service's port in use is a fault of its own";
}
