#include "protocol/plan_software.h"

#include "software/software.h"

namespace velk {

std::string planned_prefix_text(std::string_view prefix) { return prefix_path(prefix); }

Status plan_software(const PlanOperationRequest& request, Plan& plan) {
  const Operation op = request.operation;
  auto release = select_release(request.software_version
                                    ? std::optional<std::string_view>(*request.software_version)
                                    : std::nullopt);
  if (!release.ok()) return std::move(release).error();
  auto build = host_build(**release);
  if (!build.ok()) return std::move(build).error();
  const std::string& version = (*release)->version;

  auto effects = software_plan_effects(
      op, request.prefix ? std::optional<std::string_view>(*request.prefix) : std::nullopt, version,
      **build);
  if (!effects.ok()) return std::move(effects).error();
  plan.effects = std::move(effects).value();

  // Where the plan installs, so apply can hold the consumer to it: the host
  // platform, the version and the prefix.
  Json platform = platform_record();
  platform["version"] = version;
  platform["prefix"] = planned_prefix_text(*request.prefix);
  plan.platform = std::move(platform);

  // Only install and update download anything.
  plan.software_artifacts = Json::array();
  if (op != Operation::software_remove)
    plan.software_artifacts.push_back(software_artifact_entry(**build));
  return {};
}

}  // namespace velk
