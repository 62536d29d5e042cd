#include "platform/service_host.h"

#include <windows.h>
#include <aclapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/program_folder_win32.h"
#include "service_events_win32.h"

namespace kiv {

namespace {

constexpr char SERVICE_NAME[] = "kiv-agentd";
constexpr char DISPLAY_NAME[] = "KIV Agent";
constexpr char EVENT_SOURCE[] = "KIV Agent";
constexpr char SERVICE_ACCOUNT[] = "NT AUTHORITY\\LocalService";
/// Where install remembers the service's folder, for the installer to keep
/// it through an upgrade or a repair.
constexpr char SETTINGS_KEY[] = "Software\\KIV Agent";
constexpr char FOLDER_VALUE[] = "ServiceFolder";
constexpr char EVENT_SOURCE_KEY[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KIV Agent";
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
/// How long a stop may take: remove waits as long for the service to stop,
/// and the service tells the manager to wait as long for it.
constexpr int STOP_WAIT_MS = 30000;
constexpr int STOP_POLL_MS = 100;
constexpr DWORD EACH_SECOND_MS = 1000;

int report_failure(const char* what, DWORD error) {
  std::fprintf(stderr, "kiv-agentd: %s (error %lu)\n", what, static_cast<unsigned long>(error));
  return EXIT_FAILED;
}

/// Closes a service manager handle when it goes out of scope.
struct ServiceHandle {
  SC_HANDLE handle;
  explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
  ~ServiceHandle() {
    if (handle != nullptr) CloseServiceHandle(handle);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
};

/// Quotes `text` as one argument of a command line. A backslash just before
/// the closing quote would escape it, so a root such as "C:\" is written
/// "C:\." instead.
std::string quoted(std::string text) {
  if (!text.empty() && text.back() == '\\') text += '.';
  return '"' + text + '"';
}

/// The folder of a service command line `"program" service "folder"`.
std::string served_folder(const std::string& command) {
  size_t end = command.find_last_of('"');
  size_t start = end == std::string::npos ? end : command.find_last_of('"', end - 1);
  if (start == std::string::npos || end == 0) return command;
  std::string folder = command.substr(start + 1, end - start - 1);
  if (folder.size() > 3 && folder.compare(folder.size() - 2, 2, "\\.") == 0) folder.pop_back();
  return folder;
}

/// Writes `value` to HKLM\`key`; the error, or ERROR_SUCCESS.
LONG set_machine_value(const char* key, const char* name, DWORD type, const void* value,
                       DWORD size) {
  HKEY handle = nullptr;
  LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                               &handle, nullptr);
  if (error != ERROR_SUCCESS) return error;
  error = RegSetValueExA(handle, name, 0, type, static_cast<const BYTE*>(value), size);
  RegCloseKey(handle);
  return error;
}

LONG set_machine_text(const char* key, const char* name, DWORD type, const std::string& text) {
  return set_machine_value(key, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

/// Makes kiv-agentd.exe the source "KIV Agent" of the Application event log:
/// Event Viewer reads the texts of its events from the program's message table.
LONG register_event_source(const std::string& program) {
  DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  LONG error = set_machine_text(EVENT_SOURCE_KEY, "EventMessageFile", REG_EXPAND_SZ, program);
  if (error != ERROR_SUCCESS) return error;
  return set_machine_value(EVENT_SOURCE_KEY, "TypesSupported", REG_DWORD, &types, sizeof types);
}

/// Lets LocalService change files in `folder` (kiv.log, kiv.cnf): the
/// account has only read rights where an administrator made the files.
DWORD grant_service_account(const std::string& folder) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  if (!CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &sid_size)) return GetLastError();
  PACL old_acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &old_acl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return error;
  EXPLICIT_ACCESSA access = {};
  access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
  PACL new_acl = nullptr;
  error = SetEntriesInAclA(1, &access, old_acl, &new_acl);
  if (error == ERROR_SUCCESS) {
    error = SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, new_acl, nullptr);
    LocalFree(new_acl);
  }
  LocalFree(descriptor);
  return error;
}

/// Has the service manager start the service again after it ended on an
/// error (a crash, or stopped with an exit code other than 0): after 10 s,
/// 1 min, then every 5 min, with the count of failures forgotten after a day.
void restart_on_failure(SC_HANDLE service) {
  SC_ACTION actions[3] = {
      {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 300000}};
  SERVICE_FAILURE_ACTIONSA failure = {};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  SERVICE_FAILURE_ACTIONS_FLAG on_error_exit = {TRUE};
  const char* limit = nullptr;
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    limit = "will not restart it after a failure";
  } else if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                    &on_error_exit)) {
    limit = "will restart it after a crash only";
  }
  if (limit != nullptr) {
    std::fprintf(stderr, "kiv-agentd: the service manager %s (error %lu)\n", limit,
                 static_cast<unsigned long>(GetLastError()));
  }
}

/// Gives a folder without them the example kiv.cnf beside the program (and
/// the kiv.access that confines it, where there is one) and an empty kiv.log
/// (a service has no console: its log is all there is). What is there
/// already is left as it is, so installing again, or a newer version, keeps
/// the configuration. False, with the reason printed, when the folder can't
/// hold the service's files.
bool seed_folder(const std::string& folder) {
  std::string example = file_beside_program("kiv.cnf");
  std::string configuration = folder + "\\kiv.cnf";
  if (CopyFileA(example.c_str(), configuration.c_str(), TRUE)) {
    std::printf("Copied %s to %s.\n", example.c_str(), configuration.c_str());
    std::string rules = folder + "\\kiv.access";
    if (CopyFileA(file_beside_program("kiv.access").c_str(), rules.c_str(), TRUE)) {
      std::printf("Copied kiv.access, which confines its services to this computer, to %s.\n",
                  rules.c_str());
    }
  }
  DWORD error = GetLastError();
  DWORD attributes = GetFileAttributesA(configuration.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    std::fprintf(stderr, "kiv-agentd: cannot write %s (error %lu): the service needs a folder"
                 " it can write in\n", configuration.c_str(), static_cast<unsigned long>(error));
    return false;
  }
  std::string log_path = folder + "\\kiv.log";
  HANDLE log = CreateFileA(log_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "kiv-agentd: cannot write %s (error %lu): the service keeps its log"
                 " there\n", log_path.c_str(), static_cast<unsigned long>(GetLastError()));
    return false;
  }
  CloseHandle(log);
  return true;
}

/// The full path of `argument` without a trailing backslash (but a root's),
/// or empty with the reason printed when it names no folder.
std::string full_folder(const char* argument) {
  char folder[MAX_PATH];
  DWORD length = GetFullPathNameA(argument, sizeof folder, folder, nullptr);
  if (length == 0 || length >= sizeof folder) {
    report_failure("bad folder", GetLastError());
    return "";
  }
  std::string path(folder, length);
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    std::fprintf(stderr, "kiv-agentd: %s is no folder\n", path.c_str());
    return "";
  }
  return path;
}

/// Points the registered service at `command`, keeping its account, and
/// says where it served before.
bool move_service(SC_HANDLE service, const std::string& command, const std::string& folder) {
  DWORD size = 0;
  QueryServiceConfigA(service, nullptr, 0, &size);
  std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.get());
  if (size > 0 && QueryServiceConfigA(service, config, size, &size) &&
      config->lpBinaryPathName != nullptr) {
    std::string before = served_folder(config->lpBinaryPathName);
    if (before != folder) std::printf("The service served %s before.\n", before.c_str());
  }
  return ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr, DISPLAY_NAME);
}

int install_service(const char* folder_argument) {
  std::string folder = full_folder(folder_argument);
  if (folder.empty()) return EXIT_FAILED;
  std::string program = program_path();
  if (program.empty()) return report_failure("no program path", GetLastError());
  std::string command = quoted(program) + " service " + quoted(folder);

  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (manager.handle == nullptr) return report_failure("cannot open the service manager",
                                                       GetLastError());
  // Nothing is registered for a folder that can't hold the service's files.
  if (!seed_folder(folder)) return EXIT_FAILED;
  DWORD error = grant_service_account(folder);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "kiv-agentd: cannot let LocalService write in %s (error %lu)\n",
                 folder.c_str(), static_cast<unsigned long>(error));
    return EXIT_FAILED;
  }
  ServiceHandle service(CreateServiceA(
      manager.handle, SERVICE_NAME, DISPLAY_NAME, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
      SERVICE_ACCOUNT, ""));
  if (service.handle == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Installed again (by hand, or by the installer over an earlier
    // registration): the service is moved to this program and folder.
    service.handle = OpenServiceA(manager.handle, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service.handle != nullptr && !move_service(service.handle, command, folder)) {
      return report_failure("cannot change the service kiv-agentd", GetLastError());
    }
  }
  if (service.handle == nullptr) return report_failure("cannot register the service kiv-agentd",
                                                       GetLastError());
  char description[] = "Forwards the TCP ports configured in kiv.cnf of its folder.";
  SERVICE_DESCRIPTIONA text = {description};
  ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_DESCRIPTION, &text);
  restart_on_failure(service.handle);
  // With a trailing backslash, as the installer writes a folder.
  std::string remembered = folder.back() == '\\' ? folder : folder + '\\';
  LONG registry = set_machine_text(SETTINGS_KEY, FOLDER_VALUE, REG_SZ, remembered);
  if (registry == ERROR_SUCCESS) registry = register_event_source(program);
  if (registry != ERROR_SUCCESS) {
    return report_failure("cannot write the service's settings in the registry", registry);
  }
  std::printf("Installed the service kiv-agentd (KIV Agent): it starts at boot"
              " and serves kiv.cnf in %s.\nStart it now with: sc start kiv-agentd\n",
              folder.c_str());
  return 0;
}

int remove_service() {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.handle == nullptr) return report_failure("cannot open the service manager",
                                                       GetLastError());
  ServiceHandle service(
      OpenServiceA(manager.handle, SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.handle == nullptr) return report_failure("no service kiv-agentd", GetLastError());
  SERVICE_STATUS status = {};
  if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
    for (int waited = 0; waited < STOP_WAIT_MS; waited += STOP_POLL_MS) {
      if (!QueryServiceStatus(service.handle, &status)) break;
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      Sleep(STOP_POLL_MS);
    }
    std::printf("Stopped the service kiv-agentd.\n");
  }
  if (!DeleteService(service.handle)) return report_failure("cannot remove the service kiv-agentd",
                                                            GetLastError());
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, FOLDER_VALUE);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
  std::printf("Removed the service kiv-agentd.\n");
  return 0;
}

/// What the service's threads share: the manager's dispatcher thread calls
/// serve_main and the control handler, the main thread runs the agent.
struct Service {
  const ServedAgent* agent = nullptr;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  HANDLE started = nullptr;      // set once the manager took the service, or refused it
  HANDLE agent_ended = nullptr;  // set when the agent's event loop has returned
  int exit_code = 0;             // written by the main thread before agent_ended
};

Service service;

void set_state(DWORD state, DWORD accepted, DWORD exit_code) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exit_code;
  status.dwWaitHint = state == SERVICE_STOP_PENDING ? STOP_WAIT_MS : 0;
  SetServiceStatus(service.status_handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      set_state(SERVICE_STOP_PENDING, 0, 0);
      service.agent->control(OperatorSignal::Stop);
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      service.agent->control(OperatorSignal::Reload);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI serve_main(DWORD, char**) {
  service.status_handle = RegisterServiceCtrlHandlerExA(SERVICE_NAME, on_control, nullptr);
  if (service.status_handle == nullptr) {
    SetEvent(service.started);
    return;
  }
  set_state(SERVICE_RUNNING,
            SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE, 0);
  SetEvent(service.started);
  // This thread has nothing else to do while the agent runs on the main one.
  while (WaitForSingleObject(service.agent_ended, EACH_SECOND_MS) == WAIT_TIMEOUT) {
    service.agent->each_second();
  }
  service.agent->each_second();
  set_state(SERVICE_STOPPED, 0, service.exit_code);
}

DWORD WINAPI run_dispatcher(void*) {
  char name[] = "kiv-agentd";
  SERVICE_TABLE_ENTRYA table[] = {{name, serve_main}, {nullptr, nullptr}};
  BOOL served = StartServiceCtrlDispatcherA(table);
  DWORD error = served ? ERROR_SUCCESS : GetLastError();
  SetEvent(service.started);
  return error;
}

// The agent keeps the process's main thread, as it has from a console; the
// manager's dispatcher gets a thread of its own.
int serve(const char* folder, const ServedAgent& agent) {
  service.agent = &agent;
  service.started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  service.agent_ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE dispatcher = CreateThread(nullptr, 0, run_dispatcher, nullptr, 0, nullptr);
  if (service.started == nullptr || service.agent_ended == nullptr || dispatcher == nullptr) {
    return report_failure("cannot start the service", GetLastError());
  }
  WaitForSingleObject(service.started, INFINITE);
  if (service.status_handle == nullptr) {
    WaitForSingleObject(dispatcher, STOP_WAIT_MS);
    DWORD error = ERROR_SUCCESS;
    GetExitCodeThread(dispatcher, &error);
    std::fprintf(stderr, "kiv-agentd: \"service FOLDER\" is for the service manager to run"
                         " (error %lu)\n", static_cast<unsigned long>(error));
    return EXIT_USAGE;
  }
  if (SetCurrentDirectoryA(folder)) {
    service.exit_code = agent.run();
  } else {
    // Said to the manager as the service's own error, and where its operators look.
    report_service_event(ServiceEvent::NoFolder, folder);
    service.exit_code = EXIT_FAILED;
  }
  SetEvent(service.agent_ended);
  // The dispatcher returns once the manager has taken the stopped state.
  WaitForSingleObject(dispatcher, STOP_WAIT_MS);
  return service.exit_code;
}

}  // namespace

const char* agentd_usage() { return "usage: kiv-agentd.exe [install [FOLDER] | remove]"; }

int run_service_command(int argc, char** argv, const ServedAgent& agent) {
  if (argc == 2 && std::strcmp(argv[1], "/?") == 0) {
    std::printf("%s\n", agentd_usage());
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "install") == 0) return install_service(".");
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) return install_service(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "remove") == 0) return remove_service();
  if (argc == 3 && std::strcmp(argv[1], "service") == 0) return serve(argv[2], agent);
  return -1;
}

void report_service_event(ServiceEvent event, const char* insert) {
  static const DWORD ids[] = {KIV_EVENT_WARNING,        KIV_EVENT_CONFIGURATION_LINE,
                              KIV_EVENT_NO_CONFIGURATION, KIV_EVENT_CANNOT_BIND,
                              KIV_EVENT_LOG_FILE,       KIV_EVENT_NO_FOLDER};
  static_assert(sizeof ids / sizeof ids[0] == static_cast<unsigned>(ServiceEvent::NoFolder));
  unsigned index = static_cast<unsigned>(event) - 1;
  if (index >= sizeof ids / sizeof ids[0]) return;
  HANDLE source = RegisterEventSourceA(nullptr, EVENT_SOURCE);
  if (source == nullptr) return;
  char folder[MAX_PATH] = "";
  GetCurrentDirectoryA(sizeof folder, folder);
  const char* strings[] = {insert, folder};
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, ids[index], nullptr, 2, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace kiv
