// Paths of the program directory, the sibling write of P/bin, the
// installation record's bytes and the inventory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/json.h"
#include "core/text.h"
#include "product/declaration.h"
#include "software/program_dir.h"
#include "software/release_table.h"

namespace velk {

namespace {

std::string product_word() { return std::string(declaration().executable_name); }

// Writes every byte and flushes; returns 0 or the errno of the failure.
int write_and_flush(int fd, std::string_view bytes) {
  if (const int e = write_all(fd, bytes); e != 0) return e;
  if (retry_eintr([&] { return ::fsync(fd); }) != 0) return errno;
  return 0;
}

}  // namespace

std::string prefix_path(std::string_view prefix) {
  while (prefix.size() > 1 && prefix.back() == '/') prefix.remove_suffix(1);
  return std::string(prefix);
}

std::string version_dir(const std::string& prefix, std::string_view version) {
  return path_join(prefix, version);
}

std::string incoming_dir(const std::string& prefix, std::string_view version) {
  return path_join(prefix, ".incoming-" + std::string(version));
}

std::string replaced_dir(const std::string& prefix, std::string_view version) {
  return path_join(prefix, ".replaced-" + std::string(version));
}

std::string bin_dir(const std::string& prefix) { return path_join(prefix, "bin"); }

std::string command_path(const std::string& prefix) {
  return path_join(bin_dir(prefix), product_word());
}

std::string version_marker_path(const std::string& prefix) {
  return path_join(bin_dir(prefix), "." + product_word() + ".version");
}

std::string record_path(const std::string& prefix) {
  return path_join(bin_dir(prefix), "." + product_word() + ".manifest.json");
}

std::string prefix_control_dir(const std::string& prefix) {
  return path_join(prefix, declaration().control_dir_name);
}

std::string program_in_version(std::string_view version) {
  auto release = select_release(version);
  if (release.ok()) {
    auto build = host_build(**release);
    if (build.ok() && !(*build)->entry_point.empty()) return (*build)->entry_point;
  }
  return product_word();
}

bool is_version_name(std::string_view name) {
  return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
         name != "bin";
}

std::string sibling_path(const std::string& path) {
  const std::string name = file_name(path);
  if (name.empty()) return path;
  const std::string sibling = name.front() == '.' ? name + ".incoming" : "." + name + ".incoming";
  return path_join(parent_path(path), sibling);
}

Status write_through_sibling(const std::string& path, std::string_view bytes) {
  const std::string sibling = sibling_path(path);
  if (sibling == path) {
    // No final name to stand beside: written in place.
    const int fd = retry_eintr([&] {
      return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    });
    if (fd < 0) return system_error(ErrorKind::state_unavailable, "cannot write " + path, errno);
    const int e = write_and_flush(fd, bytes);
    ::close(fd);
    if (e != 0) return system_error(ErrorKind::state_unavailable, "cannot write " + path, e);
    return {};
  }
  const std::string dir = parent_path(path);
  Fd dir_fd(retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (dir_fd.get() < 0)
    return system_error(ErrorKind::state_unavailable, "cannot write " + sibling, errno);
  // A sibling left by an interrupted write (a file, a link, anything but a
  // directory) goes first, so the new one is created fresh and a planted
  // link cannot redirect the write.
  Replacement how;
  how.staging_name = file_name(sibling);
  auto replaced = replace_in_directory(dir_fd.get(), file_name(path), bytes, how);
  if (replaced.ok()) return {};
  if (replaced.error().promoting)
    return system_error(ErrorKind::state_unavailable,
                        "cannot replace " + path + " with " + sibling, replaced.error().err);
  return system_error(ErrorKind::state_unavailable, "cannot write " + sibling,
                      replaced.error().err);
}

std::string installation_record(std::string_view version, std::string_view executable,
                                std::string_view executable_sha256) {
  std::string slashed(executable);
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  Json record = Json::object();
  record["schema_version"] = 1;
  record["version"] = std::string(version);
  record["executable"] = slashed;
  record["executable_sha256"] = std::string(executable_sha256);
  return compact_json(record);
}

Result<Inventory> take_inventory(const std::string& prefix) {
  Inventory inventory;
  auto names = list_directory(prefix);
  if (!names.ok()) {
    if (names.error().sys_errno == ENOENT) return inventory;
    return std::move(names).error();
  }
  for (const std::string& name : *names) {
    if (!is_version_name(name)) continue;
    // A link named like a version is not a tree this provider placed.
    const auto st = lstat_path(path_join(prefix, name));
    if (st && S_ISDIR(st->st_mode)) inventory.installed.push_back(name);
  }
  std::sort(inventory.installed.begin(), inventory.installed.end());
  auto marker = read_file(version_marker_path(prefix), "cannot read the version marker", 4096);
  if (marker.ok() && std::binary_search(inventory.installed.begin(), inventory.installed.end(),
                                        *marker))
    inventory.exposed = *marker;
  return inventory;
}

}  // namespace velk
