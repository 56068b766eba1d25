// The plan artifact: the fields a plan carries, the JSON object they are
// written as (in their fixed order), the check every plan passes before it
// leaves the planner, and the plan digest the consumer approves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bundle/claim.h"
#include "core/error.h"
#include "core/json.h"
#include "product/declaration.h"
#include "product/operation.h"

namespace velk {

inline constexpr std::string_view kPlanFormat = "ai-stp-provider-plan/3";

// What one owned path is left as by a removal.
struct EndState {
  std::string path;
  bool final_bytes = false;  // false: "removed"
  // For final_bytes: the bundle member holding the bytes, their digest and
  // their length.
  std::string member;
  std::string sha256;
  uint64_t byte_length = 0;
  bool operator==(const EndState&) const = default;
};

struct PlanFields {
  std::string provider_build_digest;
  std::optional<std::string> provider_release_digest;  // null in plans of user commands
  std::string operation_id;
  Operation operation = Operation::install;
  std::string canonical_target;
  std::string expected_target_digest;
  std::string projection_profile_digest;
  std::optional<BundleClaim> bundle;  // the path is not part of the plan
  std::optional<std::string> backup_ref;
  std::optional<std::string> restore_target_digest;
  std::optional<std::string> permission_profile;
  std::optional<TargetScope> target_scope;
  Json platform = nullptr;
  std::string expires_at;
  Json software_artifacts = Json::array();
  std::vector<EndState> end_state;
  std::vector<std::string> effects;
};

// The artifact, members in their fixed order; target_scope,
// software_artifacts and end_state only when non-empty.
Json plan_artifact(const PlanFields& fields);

// The object form of one end state, and its reading back.
Json end_state_object(const EndState& state);

// The checks every plan must pass (each failure provider_unavailable):
// non-empty effects, a restored digest on restore plans only, end states on
// remove plans only, and each end state in one of its two shapes.
Status check_plan(const Json& plan);

// digest_document under "ai-stp:provider-plan:v3" over the artifact.
Result<std::string> plan_digest(const Json& plan);

struct SealedPlan {
  Json plan;
  std::string digest;
};

// Builds the artifact, checks it and computes its digest. An artifact
// that cannot be encoded is "the plan artifact cannot be encoded: {why}".
Result<SealedPlan> seal_plan(const PlanFields& fields);

}  // namespace velk
