// Finding the catalog: the override variable, a catalog shipped beside the
// program or in the working directory, or the built-in one written out.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "core/fs.h"
#include "core/text.h"
#include "product/builtin_setups.h"
#include "product/catalog.h"
#include "product/declaration.h"

namespace velk {

TempCatalogDir::~TempCatalogDir() { (void)remove_path(path_); }

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

// Creates the file with exactly these bytes; the final component is never
// followed.
bool write_new_file(const std::string& path, std::string_view bytes) {
  const int fd = retry_eintr([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  });
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = retry_eintr([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0;
}

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
  const std::string name = std::string(declaration().provider_id) + "-" +
                           std::to_string(::getpid()) + "-" + std::to_string(counter++);
  const std::string dir = path_join(temp_root, name);
  // Owned from here on, so the directory goes on every path, failure included.
  Catalog catalog{dir, std::make_shared<TempCatalogDir>(dir)};

  if (!remove_path(dir).ok()) return not_found();
  if (create_directories(temp_root) != 0) return not_found();
  // mkdir itself, not create_directories: something that reappeared at the
  // name (a link planted in a shared temporary directory) fails the write
  // instead of being written through.
  if (::mkdir(dir.c_str(), 0777) != 0) return not_found();
  for (const BuiltinFile& file : builtin_setup_files()) {
    const std::string path = path_join(dir, file.path);
    if (create_directories(parent_path(path)) != 0) return not_found();
    if (!write_new_file(path, file.bytes)) return not_found();
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
