// A fresh directory under the system temporary directory, removed with
// everything in it when the value goes out of scope.
#pragma once

#include <string>
#include <string_view>

#include "core/dir.h"

namespace velk::testing {

class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::string& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view relative) const;

 private:
  std::string path_;
};

// /dev/shm when it is a writable tmpfs, else "": for tests that flush
// thousands of files, since a killed process loses no written data there.
std::string memory_temp_base();

// Small file helpers for tests: they abort the test run on failure.
void write_text(const std::string& path, std::string_view content, unsigned mode = 0644);
std::string read_text(const std::string& path);
void make_dirs(const std::string& path);
bool exists(const std::string& path);  // lstat: a dangling link exists
// The directory at an absolute path (made first when absent), held open.
Dir dir_of(const std::string& path);

}  // namespace velk::testing
