#include "cli/software_commands.h"

#include <algorithm>

#include "core/fs.h"
#include "core/text.h"
#include "product/declaration.h"
#include "software/software.h"
#include "store/store.h"

namespace velk {

namespace {

std::string product_word() { return std::string(declaration().executable_name); }

Result<std::string> absolute_prefix(std::string_view prefix) {
  if (prefix.empty() || prefix.front() != '/')
    return make_error(ErrorKind::invalid_target,
                      "--prefix " + std::string(prefix) + " is not an absolute path");
  return prefix_path(prefix);
}

bool holds(const Inventory& inventory, const std::string& version) {
  return std::binary_search(inventory.installed.begin(), inventory.installed.end(), version);
}

// The version must be installed; the messages name what is.
Status require_installed(const std::string& prefix, const Inventory& inventory,
                         const std::string& version) {
  if (inventory.installed.empty())
    return make_error(ErrorKind::state_unavailable,
                      prefix + " holds no installed version of " + product_word());
  if (!holds(inventory, version))
    return make_error(ErrorKind::state_unavailable, version + " is not installed under " +
                                                        prefix + "; it holds " +
                                                        join(inventory.installed, ", "));
  return {};
}

}  // namespace

Status run_software(std::string_view prefix_text, std::ostream& out) {
  VELK_ASSIGN(const std::string prefix, absolute_prefix(prefix_text));
  VELK_ASSIGN(const Inventory inventory, take_inventory(prefix));
  if (inventory.installed.empty()) {
    out << "No version of " << product_word() << " is installed under " << prefix << ".\n";
    return {};
  }
  out << product_word() << " under " << prefix << ":\n\n";
  for (const std::string& version : inventory.installed)
    out << "  " << (inventory.exposed == version ? "* " : "  ") << version << "\n";
  out << "\n";
  const std::string command = command_path(prefix);
  if (inventory.exposed)
    out << "  " << command << " runs " << *inventory.exposed << "\n";
  else
    out << "  Nothing is exposed: " << command << " names no installed version.\n";
  out << "  Change it with:  rollback --to <version> --prefix " << prefix << "\n";
  return {};
}

Status run_rollback(std::string_view prefix_text, const std::optional<std::string>& to,
                    std::ostream& out) {
  VELK_ASSIGN(const std::string prefix, absolute_prefix(prefix_text));
  VELK_ASSIGN(Inventory inventory, take_inventory(prefix));
  if (!to) {
    if (inventory.installed.empty())
      return make_error(ErrorKind::state_unavailable,
                        "rollback requires --to <version>, and " + prefix + " holds none");
    return make_error(ErrorKind::state_unavailable, "rollback requires --to <version>; " +
                                                        prefix + " holds " +
                                                        join(inventory.installed, ", "));
  }
  const std::string& version = *to;
  const std::string command = command_path(prefix);
  VELK_TRY(require_installed(prefix, inventory, version));
  const auto nothing_to_do = [&] {
    out << command << " already runs " << version << "; nothing to do.\n";
  };
  if (inventory.exposed == version) {
    nothing_to_do();
    return {};
  }

  // The prefix lock keeps a software operation from exposing another
  // version between this look and the re-pointing; what was seen is taken
  // again under it, through the prefix held from here on.
  VELK_ASSIGN(const OpenedPrefix opened, open_prefix(prefix));
  VELK_ASSIGN(TargetLock lock, lock_target(opened.control));
  VELK_TRY(annotate_lock(lock, lock_annotation("rollback")));
  VELK_ASSIGN(inventory, take_inventory(opened.prefix));
  VELK_TRY(require_installed(prefix, inventory, version));
  if (inventory.exposed == version) {
    nothing_to_do();
    return {};
  }

  VELK_TRY(expose_version(opened.prefix, version));
  out << command << " now runs " << version << ".\n";
  if (inventory.exposed)
    out << "  it ran " << *inventory.exposed << " before this, and that tree is still here\n";
  return {};
}

}  // namespace velk
