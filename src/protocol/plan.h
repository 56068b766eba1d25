// The plan: one typed value per plan artifact, written as the artifact and
// read back from it by one table of members, and the digest a consumer
// approves. Every plan, from plan-operation, from a user command or from
// adopt, is this value.
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

// What an adoption records instead of writing files: the old tools' setup,
// the stamp it was read from, and the paths the stamp claimed.
struct Adoption {
  std::string setup_id;
  std::optional<std::string> setup_definition_digest;
  std::string legacy_stamp_digest;
  std::vector<std::string> claimed_paths;
  bool operator==(const Adoption&) const = default;
};

// The members of a plan artifact, in the artifact's order; "format",
// "protocol_version", "provider_id" and "provider_version" are this
// build's constants and are written, never stored.
struct Plan {
  std::string provider_build_digest;
  std::optional<std::string> provider_release_digest;  // null in plans of user commands
  std::string operation_id;
  Operation operation = Operation::install;
  std::string canonical_target;
  std::string expected_target_digest;
  std::string projection_profile_digest;
  std::optional<BundleClaim> bundle;  // the claim's path is not part of a plan
  std::optional<std::string> backup_ref;
  std::optional<std::string> restore_target_digest;
  std::optional<std::string> permission_profile;
  std::optional<TargetScope> target_scope;  // written only when set
  Json platform = nullptr;                  // software plans: host, version, prefix
  std::string expires_at;
  Json software_artifacts = Json::array();  // written only when not empty
  std::vector<EndState> end_state;          // written only when not empty
  std::optional<Adoption> adoption;         // adopt plans only
  std::vector<std::string> effects;
};

// The artifact: members in their fixed order, each written by its row of
// the member table.
Json plan_to_json(const Plan& plan);

// Reads an artifact back into a plan, refusing what apply refuses, in this
// order: an operation this protocol does not define (unsupported_operation;
// an adoption is never accepted from outside), a missing, malformed or past
// expiry (stale), a plan that breaks the structure every plan has
// (provider_unavailable), then each member the table reads
// (provider_unavailable for a missing or mistyped text member,
// unsupported_operation for a scope without a published profile).
Result<Plan> plan_from_json(const Json& artifact);

// The structure every plan has, checked before it leaves the planner and
// again when it is read (each failure provider_unavailable): non-empty
// effects, a restored digest on restore plans only, end states on remove
// plans only, and each end state in one of its two shapes.
Status check_plan(const Json& artifact);

// digest_document under "ai-stp:provider-plan:v3" over the artifact.
Result<std::string> plan_digest(const Json& artifact);

struct SealedPlan {
  Plan plan;
  Json artifact;
  std::string digest;
};

// The artifact of a plan just made, checked, and its digest. An artifact
// that cannot be encoded is "the plan artifact cannot be encoded: {why}".
Result<SealedPlan> seal_plan(Plan plan);

}  // namespace velk
