// Finding the catalog: the override variable, a catalog shipped beside the
// program or in the working directory, or the built-in one written out.
#include <fcntl.h>
#include <sys/stat.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "core/fs.h"
#include "core/fs_at.h"
#include "core/text.h"
#include "product/builtin_setups.h"
#include "product/catalog.h"
#include "product/declaration.h"

namespace velk {

TempCatalogDir::~TempCatalogDir() {
  struct stat st;
  if (::fstatat(root_fd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev_ &&
      st.st_ino == ino_)
    (void)remove_entry_at(root_fd_, name_);
  ::close(root_fd_);
}

std::string CatalogSetup::home() const { return path_join(dir, "home"); }

namespace {

// A catalog candidate counts when it is a directory holding at least one
// subdirectory with a regular setup.json.
bool holds_a_setup(const std::string& dir) {
  if (!is_directory(dir)) return false;
  const auto names = list_directory(dir);
  if (!names.ok()) return false;
  for (const auto& name : *names) {
    const std::string entry = path_join(dir, name);
    if (is_directory(entry) && is_regular_file(path_join(entry, "setup.json"))) return true;
  }
  return false;
}

std::string executable_dir() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return "";
  return parent_path(std::string_view(buffer, static_cast<size_t>(n)));
}

std::string working_dir() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

std::string catalog_variable() {
  std::string out;
  for (const char c : declaration().provider_id)
    out += c == '-' ? '_' : static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return out + "_SETUP_CATALOG";
}

Error not_found() {
  return make_error(ErrorKind::state_unavailable,
                    "no setup catalog was found; point " + catalog_variable() +
                        " at one, or run from a tree that ships setups/");
}

// Creates the file with exactly these bytes inside `dir_fd`; nothing that
// already has the name is opened.
bool write_new_file(int dir_fd, const std::string& name, std::string_view bytes) {
  Fd fd(retry_eintr([&] {
    return ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
  }));
  if (fd.get() < 0) return false;
  return write_all(fd.get(), bytes) == 0 && fd.close() == 0;
}

// How many counter values a write-out tries before it gives up.
constexpr int kNameAttempts = 64;

}  // namespace

CatalogSearch process_catalog_search() {
  CatalogSearch search;
  const std::string variable = catalog_variable();
  if (const char* value = std::getenv(variable.c_str())) search.override_value = value;
  search.executable_dir = executable_dir();
  search.working_dir = working_dir();
  const char* tmp = std::getenv("TMPDIR");
  search.temp_root = tmp && *tmp ? tmp : "/tmp";
  return search;
}

Result<Catalog> write_builtin_catalog(const std::string& temp_root) {
  static std::atomic<uint64_t> counter{0};
  if (create_directories(temp_root) != 0) return not_found();
  Fd root(retry_eintr([&] { return ::open(temp_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (root.get() < 0) return not_found();

  const std::string stem =
      std::string(declaration().provider_id) + "-" + std::to_string(::getpid()) + "-";
  std::string name, first;
  bool made = false;
  for (int attempt = 0; attempt < kNameAttempts && !made; ++attempt) {
    name = stem + std::to_string(counter++);
    if (first.empty()) first = name;
    // Exclusive and private: whatever already has the name (a directory or
    // a link another user planted) is left alone and the next name tried.
    if (::mkdirat(root.get(), name.c_str(), 0700) == 0) {
      made = true;
    } else if (errno != EEXIST) {
      return not_found();
    }
  }
  if (!made)
    return make_error(ErrorKind::state_unavailable,
                      "no setup catalog was found, and the built-in one cannot be written out: " +
                          path_join(temp_root, first) + " and the next " +
                          std::to_string(kNameAttempts - 1) +
                          " names under the temporary directory are taken; point " +
                          catalog_variable() +
                          " at a catalog, or set TMPDIR to a directory of your own");

  Fd dir(open_directory_at(root.get(), name));
  struct stat st;
  if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0) return not_found();
  const std::string path = path_join(temp_root, name);
  // Owned from here on, so the directory goes on every path, failure included.
  const int root_fd = root.get();
  Catalog catalog{path, std::make_shared<TempCatalogDir>(path, root_fd, name, st.st_dev, st.st_ino)};
  (void)root.release();
  for (const BuiltinFile& file : builtin_setup_files()) {
    const std::string relative(file.path);
    Fd parent(open_directory_beneath(dir.get(), parent_path(relative), true));
    if (parent.get() < 0) return not_found();
    if (!write_new_file(parent.get(), file_name(relative), file.bytes)) return not_found();
  }
  return catalog;
}

Result<Catalog> open_catalog(const CatalogSearch& search) {
  if (search.override_value && is_valid_utf8(*search.override_value) &&
      is_directory(*search.override_value))
    return Catalog{*search.override_value, nullptr};

  std::vector<std::string> bases;
  if (!search.executable_dir.empty()) {
    std::string base = search.executable_dir;
    for (int i = 0; i < 4; ++i) {
      bases.push_back(base);
      const std::string up = parent_path(base);
      if (up.empty() || up == base) break;
      base = up;
    }
  }
  if (!search.working_dir.empty()) bases.push_back(search.working_dir);

  const std::string relative = "setups/" + std::string(declaration().product_id);
  for (const auto& base : bases) {
    const std::string candidate = path_join(base, relative);
    if (holds_a_setup(candidate)) return Catalog{candidate, nullptr};
  }
  return write_builtin_catalog(search.temp_root);
}

Result<Catalog> open_catalog() { return open_catalog(process_catalog_search()); }

}  // namespace velk
