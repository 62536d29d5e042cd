#include "platform/user_folder.h"

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "platform/program_folder_win32.h"

namespace kiv {

namespace {

bool fail(const std::string& what) {
  std::string text = what + " (error " + std::to_string(GetLastError()) + ")";
  MessageBoxA(nullptr, text.c_str(), "KIV Error", MB_OK | MB_ICONWARNING);
  return false;
}

}  // namespace

bool enter_user_folder() {
  char app_data[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                       app_data) != S_OK) {
    return fail("Cannot find the folder Application Data");
  }
  std::string folder = std::string(app_data) + "\\KIV Agent";
  if (CreateDirectoryA(folder.c_str(), nullptr)) {
    // Without the example the agent starts with an empty table and says so in its log.
    CopyFileA(file_beside_program("kiv.cnf").c_str(), (folder + "\\kiv.cnf").c_str(), TRUE);
  } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
    return fail("Cannot make " + folder);
  }
  if (!SetCurrentDirectoryA(folder.c_str())) return fail("Cannot enter " + folder);
  return true;
}

}  // namespace kiv
