#include "platform/service_host.h"

namespace kiv {

const char* agentd_usage() { return "usage: kiv-agentd (no arguments)"; }

int run_service_command(int, char**, const ServedAgent&) { return -1; }

void report_service_event(ServiceEvent, const char*) {}

}  // namespace kiv
