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

std::string sibling_name(const std::string& name) {
  return name.front() == '.' ? name + ".incoming" : "." + name + ".incoming";
}

Status write_through_sibling(const Dir& dir, const std::string& name, std::string_view bytes) {
  const std::string sibling = sibling_name(name);
  // A sibling left by an interrupted write (a file, a link, anything but a
  // directory) goes first, so the new one is created fresh and a planted
  // link cannot redirect the write.
  Replacement how;
  how.staging_name = sibling;
  how.owner = dir.owner();
  auto replaced = replace_in_directory(dir.fd(), name, bytes, how);
  if (replaced.ok()) return {};
  if (replaced.error().promoting)
    return system_error(ErrorKind::state_unavailable,
                        "cannot replace " + dir.below(name) + " with " + dir.below(sibling),
                        replaced.error().err);
  return system_error(ErrorKind::state_unavailable, "cannot write " + dir.below(sibling),
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

Result<Dir> open_existing_prefix(const std::string& prefix) {
  auto dir = Dir::open_root(prefix);
  if (dir.ok()) return std::move(dir).value();
  const int e = dir.error();
  if (e == ENOENT) return Dir();
  if (e == ELOOP)
    return make_error(ErrorKind::invalid_target,
                      "--prefix " + prefix + " is a symbolic link, which this build does not follow");
  return system_error(ErrorKind::state_unavailable, "cannot list " + prefix, e);
}

Result<Inventory> take_inventory(const Dir& prefix) {
  Inventory inventory;
  if (!prefix.valid()) return inventory;
  VELK_ASSIGN(const std::vector<std::string> names, prefix.list());
  for (const std::string& name : names) {
    if (!is_version_name(name)) continue;
    // A link named like a version is not a tree this provider placed.
    const auto st = prefix.stat(name);
    if (st && S_ISDIR(st->st_mode)) inventory.installed.push_back(name);
  }
  std::sort(inventory.installed.begin(), inventory.installed.end());
  auto bin = prefix.open("bin");
  if (!bin.ok()) return inventory;
  auto marker = bin->read("." + product_word() + ".version", "cannot read the version marker", 4096);
  if (marker.ok() && std::binary_search(inventory.installed.begin(), inventory.installed.end(),
                                        *marker))
    inventory.exposed = *marker;
  return inventory;
}

Result<Inventory> take_inventory(const std::string& prefix) {
  VELK_ASSIGN(const Dir dir, open_existing_prefix(prefix));
  return take_inventory(dir);
}

}  // namespace velk
