// Making a plan: one function per operation fills the plan from the target
// as surveyed, for plan-operation and for the user commands alike. Only the
// words of the effects differ, since a consumer and a person read them.
#pragma once

#include <optional>
#include <string>

#include "bundle/bundle.h"
#include "core/error.h"
#include "protocol/plan.h"
#include "protocol/plan_target.h"

namespace velk {

// Who reads a plan's effects.
enum class Voice { consumer, person };

struct PlanRequest {
  Operation operation = Operation::install;
  Voice voice = Voice::consumer;
  std::string operation_id{};
  std::optional<std::string> provider_release_digest{};  // none in plans of user commands
  std::string expires_at{};
  std::optional<std::string> permission_profile{};
  // restore: the slot asked for; none means the newest complete one.
  std::optional<std::string> backup_ref{};
  // install and replace from a bundle; remove: the bundle of the files that
  // survive, when one was named.
  const ValidatedBundle* bundle = nullptr;
  // install and replace by a person: the catalog setup written.
  std::string setup_id{};
  // adopt: what is recorded, and where the stamp goes.
  std::optional<Adoption> adoption{};
  std::string stamp_name{};
  std::string adopted_dir{};
};

// The plan for one target operation (install, replace, backup, restore,
// remove, adopt) on the surveyed target, with the effects in the request's
// voice; refusals as each operation's planning makes them. A software plan
// is begun by plan_software (plan_software.h) and finished here.
Result<Plan> make_plan(const TargetSurvey& survey, const PlanRequest& request, Plan plan = {});

// "capture the current target into a new backup slot": the first effect of
// every plan a user command makes.
inline constexpr std::string_view kCaptureEffect =
    "capture the current target into a new backup slot";

}  // namespace velk
