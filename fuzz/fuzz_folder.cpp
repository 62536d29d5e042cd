#include "fuzz/fuzz_folder.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "core/no_destructor.h"

namespace kiv_fuzz {

namespace {

std::string& folder_path() {
  static kiv::NoDestructor<std::string> path;
  return *path;
}

void remove_fuzz_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_path(), ignored);
}

}  // namespace

QuietWindow& enter_fuzz_folder() {
  static kiv::NoDestructor<QuietWindow> window;
  std::string pattern = (std::filesystem::temp_directory_path() / "kiv-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) abort();
  folder_path() = pattern;
  atexit(remove_fuzz_folder);
  kiv::install_window_thread(window.get());
  return *window;
}

void write_file(const char* name, const uint8_t* data, size_t size) {
  FILE* file = fopen(name, "wb");
  if (file == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
}

}  // namespace kiv_fuzz
