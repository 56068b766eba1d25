// Applying a plan: the one apply every change goes through, whether the plan
// came over the wire, from a user command or from adopt. It holds the plan
// to the inputs it names and to the target it was made for, then runs the
// journaled change with each operation's own steps.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "bundle/bundle.h"
#include "core/error.h"
#include "core/json.h"
#include "product/operation.h"
#include "protocol/plan.h"
#include "store/store.h"

namespace velk {

// Files to write, with what the state record says of where they came from.
struct SetupContent {
  std::shared_ptr<const void> storage;          // holds the bytes the files view
  std::map<std::string, BundleFileData> files;  // path -> bytes and mode (0644 or 0755)
  WrittenContent record;                        // written_paths is filled from `files`
};

struct ApplyInputs {
  std::optional<BundleClaim> bundle;  // the five bundle flags
  std::optional<std::string> prefix;
  // A user command's setup, for install and replace plans that name no
  // bundle. Never set for a request that arrived over the wire.
  const SetupContent* content = nullptr;
  std::function<void(PerformStep)> observer;
};

struct ApplyOutcome {
  Operation operation = Operation::install;
  std::string plan_digest;
  std::string expected_target_digest;
  std::string target_identity_digest;  // after the change
  std::string backup_ref;
  std::optional<std::string> setup_id;
};

// Carries out an approved target operation (or an adoption) on the checked
// target: a --prefix or an operation that configures no target is refused,
// the bundle a plan names must be the one named at apply (and a removal's
// surviving bytes the ones it planned), the plan must have been made for
// this target, and then perform runs with the operation's pre-checks and
// effects. `plan_digest` is the digest the plan was approved under.
Result<ApplyOutcome> apply_plan(const Target& target, const Plan& plan,
                                const std::string& plan_digest, const ApplyInputs& inputs);

// The apply result: state, operation, plan_digest, expected_target_digest,
// target_identity_digest, backup_ref, setup_id.
Json apply_result_document(const ApplyOutcome& outcome);

}  // namespace velk
