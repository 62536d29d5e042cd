#pragma once
// Temporary folders for tests that need real files: kiv.cnf, kiv.log, tables.

#include <string>

namespace kiv_test {

/// A folder under the system's temporary folder, removed with its files.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& contents) const;
  std::string read(const std::string& name) const;
  /// Reads a text file with the platform's line ends turned into LF.
  std::string read_text(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace kiv_test
