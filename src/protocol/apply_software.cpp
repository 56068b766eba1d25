#include "protocol/apply_software.h"

#include "core/text.h"
#include "protocol/plan_software.h"
#include "software/software.h"

namespace velk {
namespace {


std::string text_of(const Json* value) {
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

}  // namespace

Result<Json> apply_software_plan(const Plan& plan, const std::optional<std::string>& prefix,
                                 const std::vector<std::string>& artifacts) {
  const Operation op = plan.operation;
  const Json* platform = plan.platform.is_object() ? &plan.platform : nullptr;
  if (!platform || !platform->is_object())
    return refusal(ReasonCode::provider_unavailable, "the plan artifact has no platform");
  const std::string os = text_of(find_member(*platform, "os"));
  const std::string arch = text_of(find_member(*platform, "arch"));
  const std::string version = text_of(find_member(*platform, "version"));
  const std::string planned_prefix = text_of(find_member(*platform, "prefix"));

  const Platform host = host_platform();
  if (os != host.os || arch != host.arch)
    return refusal(ReasonCode::unsupported_platform,
                  "the approved plan was made for " + os + "/" + arch + ", and this build runs on " +
                      std::string(host.os) + "/" + std::string(host.arch) + "; no effect was made");

  auto release = select_release(std::optional<std::string_view>(version));
  if (!release.ok()) return std::move(release).error();
  auto build = host_build(**release);
  if (!build.ok()) return std::move(build).error();

  // The artifacts a plan names must be the pinned build of its version: the
  // release table, not the plan, says which bytes may be installed.
  Json expected = Json::array();
  if (op != Operation::software_remove) expected.push_back(software_artifact_entry(**build));
  const Json& listed = plan.software_artifacts;
  // Compared in canonical form: the stored plan's members are sorted.
  const auto listed_text = canonical_json(listed);
  const auto expected_text = canonical_json(expected);
  if (!listed_text.ok() || !expected_text.ok() || *listed_text != *expected_text)
    return refusal(ReasonCode::digest_mismatch,
                  "the approved plan's software_artifacts are not the pinned build of velk " +
                      version + "; no effect was made");

  // A plan is made for one prefix; applying it under another was never
  // approved. Without --prefix the program directory refuses on its own.
  if (prefix && starts_with(*prefix, "/") && planned_prefix_text(*prefix) != planned_prefix)
    return refusal(ReasonCode::stale, "the approved plan was made for the prefix " + planned_prefix +
                                         ", not " + planned_prefix_text(*prefix) +
                                         "; no effect was made");

  const PlannedSoftware planned{version, **build};
  auto applied = apply_software_operation(
      op, prefix ? std::optional<std::string_view>(*prefix) : std::nullopt, planned, artifacts);
  if (!applied.ok()) return std::move(applied).error();
  return software_apply_document(*applied);
}

}  // namespace velk
