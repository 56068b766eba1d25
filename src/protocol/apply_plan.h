// Applying an approved plan: the checks that prove it is the approved one,
// unexpired, fed the inputs it names and made for this target, and then
// the journaled change with each target operation's own steps. The user
// commands hand their plans to the same code, with the setup's files in
// place of a bundle.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "bundle/bundle.h"
#include "core/error.h"
#include "core/json.h"
#include "product/operation.h"
#include "store/perform.h"

namespace velk {

// Files to write, with what the state record says of where they came from.
struct SetupContent {
  std::map<std::string, BundleFileData> files;  // path -> bytes and mode (0644 or 0755)
  EffectsOutcome record;                        // written_paths is filled from `files`
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

// What every apply proves first, in this order: the plan's digest is the
// approved one, its operation is one the protocol defines, it has not
// expired, and it passes the plan check. Returns the operation.
Result<Operation> check_approved_plan(const Json& plan, const std::string& approved_digest);

// Checks the parsed plan against the approved digest, its operation, its
// expiry and the inputs, then runs the change on the target.
Result<ApplyOutcome> apply_plan(std::string_view target, const Json& plan,
                                        const std::string& approved_digest,
                                        const ApplyInputs& inputs);

// The apply result: state, operation, plan_digest, expected_target_digest,
// target_identity_digest, backup_ref, setup_id.
Json apply_result_document(const ApplyOutcome& outcome);

}  // namespace velk
