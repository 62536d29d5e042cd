#include "platform/user_folder.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "platform/program_folder_win32.h"

namespace kiv {

namespace {

std::string failure(const std::string& what) {
  return what + " (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

std::string enter_user_folder() {
  char app_data[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                       app_data) != S_OK) {
    return failure("Cannot find the folder Application Data");
  }
  std::string folder = std::string(app_data) + "\\KIV Agent";
  if (CreateDirectoryA(folder.c_str(), nullptr)) {
    // Without the example the agent starts with an empty table and says so in its log.
    CopyFileA(file_beside_program("kiv.cnf").c_str(), (folder + "\\kiv.cnf").c_str(), TRUE);
  } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
    return failure("Cannot make " + folder);
  }
  if (!SetCurrentDirectoryA(folder.c_str())) return failure("Cannot enter " + folder);
  return "";
}

}  // namespace kiv
