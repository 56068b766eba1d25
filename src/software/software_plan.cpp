#include "software/software_plan.h"

#include <algorithm>

#include "core/fs.h"
#include "core/json.h"
#include "core/text.h"
#include "product/declaration.h"
#include "software/program_dir.h"

namespace velk {

namespace {

std::string product_word() { return std::string(declaration().executable_name); }

}  // namespace

Result<std::vector<std::string>> software_plan_effects(Operation operation,
                                                       std::optional<std::string_view> prefix_text,
                                                       std::string_view version_text,
                                                       const Build& build) {
  const std::string name(operation_name(operation));
  if (!is_software_operation(operation))
    return make_error(ErrorKind::unsupported_operation, name + " is not a software operation");
  if (!prefix_text || prefix_text->empty() || prefix_text->front() != '/')
    return make_error(ErrorKind::state_unavailable,
                      name +
                          " installs a program, which lives under --prefix, not under "
                          "--target; name an absolute --prefix");
  const std::string prefix = prefix_path(*prefix_text);
  const std::string version(version_text);
  const std::string tree = version_dir(prefix, version);
  const std::string command = command_path(prefix);
  VELK_ASSIGN(const Inventory inventory, take_inventory(prefix));
  const bool installed = std::binary_search(inventory.installed.begin(),
                                            inventory.installed.end(), version);
  std::vector<std::string> others;
  for (const std::string& v : inventory.installed)
    if (v != version) others.push_back(v);

  std::vector<std::string> effects;
  if (operation == Operation::software_remove) {
    effects.push_back("remove " + tree + ", the " + version + " tree this provider installed");
    // Apply leaves the command alone while it runs another installed version.
    if (!inventory.exposed || *inventory.exposed == version) effects.push_back("remove " + command);
    if (!others.empty())
      effects.push_back("leave " + join(others, ", ") + " in place: this build pins " + version +
                        " and does not decide about versions it does not pin");
    return effects;
  }

  if (operation == Operation::software_update && inventory.installed.empty())
    return make_error(ErrorKind::state_unavailable,
                      "there is no " + product_word() + " under " + prefix +
                          " to update; software_install is the operation that puts one there");
  if (installed) {
    effects.push_back("replace " + tree + ", which is already installed");
  } else if (inventory.exposed) {
    effects.push_back("move " + command + " from " + *inventory.exposed + " to " + version +
                      ", keeping " + *inventory.exposed + " where it is");
  } else if (!others.empty()) {
    effects.push_back("install " + version + " beside " + join(others, ", ") +
                      ", which no entry point names");
  }
  effects.push_back("download " + build.url + " (" + std::to_string(build.byte_length) +
                    " bytes) in the operation's own download phase");
  effects.push_back("check those bytes against " + build.sha256);
  if (build.format == ArtifactForm::executable)
    effects.push_back("place them as " + path_join(tree, product_word()));
  else
    effects.push_back("extract them into " + tree + ", whose " + build.entry_point +
                      " is the program");
  effects.push_back("point " + command + " at it");
  return effects;
}

Json software_artifact_entry(const Build& build) {
  Json entry = Json::object();
  entry["platform"] = build.platform;
  entry["url"] = build.url;
  entry["sha256"] = build.sha256;
  entry["byte_length"] = build.byte_length;
  entry["entry_point"] = build.entry_point;
  return entry;
}

Json platform_record() {
  const Platform host = host_platform();
  Json record = Json::object();
  record["os"] = std::string(host.os);
  record["arch"] = std::string(host.arch);
  return record;
}

}  // namespace velk
