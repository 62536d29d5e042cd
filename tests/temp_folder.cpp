#include "tests/temp_folder.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace kiv_test {

TempFolder::TempFolder() {
  std::random_device random;
  std::filesystem::path folder;
  do {
    folder = std::filesystem::temp_directory_path() / ("kiv-test-" + std::to_string(random()));
  } while (!std::filesystem::create_directory(folder));
  path_ = folder.string();
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

namespace {

std::string read_stream(std::ifstream in) {
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

}  // namespace

std::string TempFolder::read(const std::string& name) const {
  return read_stream(std::ifstream(file(name), std::ios::binary));
}

std::string TempFolder::read_text(const std::string& name) const {
  return read_stream(std::ifstream(file(name)));
}

}  // namespace kiv_test
