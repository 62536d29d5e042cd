#pragma once
// The running program's own path, and the files beside it (the example
// kiv.cnf that the installer and the zip put there), for the Windows sources
// of platform/.

#include <windows.h>

#include <string>

namespace kiv {

/// The full path of the running program; empty when unknown.
inline std::string program_path() {
  char program[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) return "";
  return std::string(program, length);
}

/// The path of `name` in the running program's folder.
inline std::string file_beside_program(const char* name) {
  std::string path = program_path();
  return path.substr(0, path.find_last_of('\\') + 1) + name;
}

}  // namespace kiv
