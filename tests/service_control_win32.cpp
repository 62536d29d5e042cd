// What `sc control SERVICE paramchange` does on Windows, for the tests under
// wine, whose sc has no "control": sends a service the control "parameters
// changed". Exit code 0 when the service took it.

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: service_control SERVICE\n");
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager == nullptr ? nullptr : OpenServiceA(manager, argv[1], SERVICE_PAUSE_CONTINUE);
  SERVICE_STATUS status;
  bool sent = service != nullptr && ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status);
  if (!sent) std::fprintf(stderr, "service_control: error %lu\n", GetLastError());
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  return sent ? 0 : 1;
}
