#include "tests/temp_folder.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kiv_test {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kiv-test-XXXXXX").string();
  path_ = mkdtemp(pattern.data());
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void TempFolder::write(const std::string& name, const std::string& contents) const {
  std::ofstream(file(name), std::ios::binary | std::ios::trunc) << contents;
}

std::string TempFolder::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool TempFolder::exists(const std::string& name) const {
  return std::filesystem::exists(file(name));
}

}  // namespace kiv_test
