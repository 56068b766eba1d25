#include "support/temp_dir.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/fs.h"

namespace velk::testing {

namespace {
std::string default_base() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}
}  // namespace

TempDir::TempDir() : TempDir(default_base()) {}

TempDir::TempDir(const std::string& base) {
  std::string templ = (base.empty() ? default_base() : base) + "/velk-test-XXXXXX";
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  // Canonical, so tests can compare against paths the program resolves.
  char resolved[PATH_MAX];
  path_ = ::realpath(templ.c_str(), resolved) ? resolved : templ;
}

TempDir::~TempDir() {

  (void)remove_path(path_);
}

std::string TempDir::operator/(std::string_view relative) const { return path_join(path_, relative); }

std::string memory_temp_base() {
  struct statfs fs;
  if (::statfs("/dev/shm", &fs) == 0 && fs.f_type == TMPFS_MAGIC && ::access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  return "";
}

void write_text(const std::string& path, std::string_view content, unsigned mode) {
  make_dirs(parent_path(path));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::fchmod(fd, mode);
  ::close(fd);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::perror(path.c_str());
    std::abort();
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void make_dirs(const std::string& path) {
  if (create_directories(path) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

Dir dir_of(const std::string& path) {
  make_dirs(path);
  auto dir = Dir::open_root(path);
  if (!dir.ok()) {
    std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(dir.error()));
    std::abort();
  }
  return std::move(dir).value();
}

}  // namespace velk::testing
