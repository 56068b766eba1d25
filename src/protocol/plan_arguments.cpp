#include "protocol/plan_arguments.h"

#include <functional>

#include "core/clock.h"
#include "core/text.h"
#include "product/declaration.h"
#include "product/profile.h"

namespace velk {
namespace {


std::string name_of(Operation op) { return std::string(operation_name(op)); }

bool reads_bundle(Operation op) {
  return op == Operation::install || op == Operation::replace || op == Operation::remove;
}

bool installs_program(Operation op) {
  return op == Operation::software_install || op == Operation::software_update;
}

bool arrives_as_bundle(Operation op) { return op == Operation::install || op == Operation::replace; }

using Rule = std::function<std::optional<Error>(const PlanOperationRequest&)>;

// The rules, in the order they are checked.
const std::vector<Rule>& rules() {
  static const std::vector<Rule> table = {
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (!r.bundle || reads_bundle(r.operation)) return std::nullopt;
        return refusal(ReasonCode::unsupported_operation,
                      name_of(r.operation) +
                          " reads no bundle, so one named for it would be echoed into the plan "
                          "and never read; install, replace and remove are the operations that "
                          "take one");
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (!r.prefix || !configures_target(r.operation)) return std::nullopt;
        return prefix_refusal(r.operation, *r.prefix);
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (!r.software_version || installs_program(r.operation)) return std::nullopt;
        return refusal(ReasonCode::unsupported_operation,
                      name_of(r.operation) + " installs no program, so --software-version " +
                          *r.software_version + " means nothing to it");
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (r.prefix || !is_software_operation(r.operation)) return std::nullopt;
        return refusal(ReasonCode::provider_unavailable,
                      name_of(r.operation) +
                          " installs a program, which lives under --prefix, not under --target; "
                          "name an absolute --prefix");
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        const auto& offered = declaration().permission_profiles;
        if (!r.permission_profile) return std::nullopt;
        std::vector<std::string> names(offered.begin(), offered.end());
        for (const auto& name : names)
          if (name == *r.permission_profile) return std::nullopt;
        return refusal(ReasonCode::unsupported_permission_profile,
                      *r.permission_profile + " is not a permission profile " +
                          std::string(declaration().provider_id) + " declares; it offers " +
                          join(names, ", "));
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (parse_utc_millis(r.expires_at)) return std::nullopt;
        return refusal(ReasonCode::stale,
                      "the expiry " + r.expires_at +
                          " is not the exact shape YYYY-MM-DDTHH:MM:SS.mmmZ, so no plan made from "
                          "it could ever be applied");
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (!r.target_scope || profile_for_scope(r.target_scope)) return std::nullopt;
        std::vector<std::string> published;
        for (const ProjectionProfile* profile : scoped_profiles())
          if (profile->target_scope) published.emplace_back(scope_name(*profile->target_scope));
        return refusal(ReasonCode::unsupported_operation,
                      "--target-scope " + std::string(scope_name(*r.target_scope)) +
                          " names a target this provider publishes no projection profile for; it "
                          "declares " +
                          join(published, ", "));
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (r.bundle || !arrives_as_bundle(r.operation)) return std::nullopt;
        return missing_bundle_refusal(r.operation);
      },
      [](const PlanOperationRequest& r) -> std::optional<Error> {
        if (r.operation != Operation::launch) return std::nullopt;
        return undeclared_refusal(r.operation);
      },
  };
  return table;
}

}  // namespace

bool configures_target(Operation op) {
  switch (op) {
    case Operation::install:
    case Operation::replace:
    case Operation::backup:
    case Operation::restore:
    case Operation::remove: return true;
    default: return false;
  }
}

Error prefix_refusal(Operation op, const std::string& prefix) {
  return refusal(ReasonCode::unsupported_operation,
                name_of(op) + " configures a target and installs no program, so --prefix " +
                    prefix + " means nothing to it");
}

Error missing_bundle_refusal(Operation op) {
  return refusal(ReasonCode::unsupported_bundle_format,
                name_of(op) + " arrives as a bundle, and none was named");
}

Error undeclared_refusal(Operation op) {
  return refusal(ReasonCode::unsupported_operation, name_of(op) + " is not declared by this provider");
}

Status check_plan_arguments(const PlanOperationRequest& request) {
  for (const Rule& rule : rules())
    if (auto refusal = rule(request)) return std::move(*refusal);
  return {};
}

}  // namespace velk
