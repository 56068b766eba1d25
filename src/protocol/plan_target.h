// What planning a target operation reads, shared by plan-operation and the
// user commands: the target as it is now under the decided scope, the scope
// notes, the slot a restore returns to and the end states of a removal.
// Nothing here writes anything or creates the control directory.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "core/error.h"
#include "product/declaration.h"
#include "protocol/plan.h"
#include "store/store.h"

namespace velk {

struct TargetSurvey {
  Target target;      // checked once, for everything after the survey
  TargetStore store;  // located only
  std::optional<TargetScope> scope;
  StateRead state;
  std::vector<std::string> managed;  // the paths a change clears here
  std::string identity;              // measured over the scope's surfaces
  std::string profile_digest;        // of the scope's projection profile
};

// Canonicalises the target, refuses while recovery is pending, decides the
// scope (the requested one, or the one the state file records) and refuses
// a request that names another scope than the record, applies the
// user-root record rule and measures the identity. A software plan, which
// changes nothing in the target, passes `pending_recovery_matters` false.
Result<TargetSurvey> survey_target(std::string_view target,
                                           std::optional<TargetScope> requested,
                                           bool pending_recovery_matters = true);

// The scope word a record or a plan stands for; "global" for none.
std::string scope_word(std::optional<TargetScope> scope);

// "{target} is managed under target_scope {recorded}, and this plan names
// {named}; ..." (unsupported_operation).
Error scope_mismatch(const std::string& target, std::optional<TargetScope> recorded,
                             std::optional<TargetScope> named);

// The effects that say how much of the target a change takes: two under the
// global scope, one under user_root.
std::vector<std::string> scope_notes(std::optional<TargetScope> scope);

// "remove under target_scope user_root is scoped to the files ...": a
// removal under user_root with no readable record.
Error user_root_remove_refusal(const std::string& target);

// An adoption records a target under the global scope; a target managed
// under user_root is a root other products share, where this provider
// answers only for what it recorded writing. "{target} is managed under
// target_scope user_root, where ...; No effect was made"
// (unsupported_operation), or success for any other target.
Status check_adoptable_scope(const std::string& target, const StateRead& state);

struct RemovalPlan {
  std::vector<EndState> end_states;
  std::vector<std::string> lines;  // "remove {path}" for each owned path present
  size_t survivors = 0;            // final_bytes entries
};

// One end state per owned path, in owned-path order: "removed", or
// final_bytes when the bundle carries the path itself; the bundle's files
// below an owned path follow it as final_bytes, and any others come last in
// byte order.
Result<RemovalPlan> plan_removal(const TargetSurvey& survey,
                                         const ValidatedBundle* bundle);

// The bundle member that carries a declared file.
std::string bundle_member_name(const std::string& path);

}  // namespace velk
