// The one write path. Every change to a target's owned surfaces runs
// perform: lock, verify the identity the plan expected, refuse unresolved
// work, capture a backup, publish the journal, make the operation's effects,
// measure again, record the state file, commit and clear the journal,
// release the lock.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "product/declaration.h"
#include "store/state.h"
#include "store/target.h"

namespace velk {

// What perform needs to know of the accepted plan.
struct PlanFacts {
  std::string operation;  // its name, as journaled and annotated
  std::string operation_id;
  std::string plan_digest;
  std::string expected_target_digest;
  std::optional<TargetScope> scope;
  std::optional<std::string> provider_release_digest;
  std::string provider_build_digest;
  std::optional<std::string> projection_profile_digest;
  // The slot a restore puts back; the capture before it must not reclaim it.
  std::optional<std::string> restore_source;
  // The paths the effects may write. Under user_root, where only recorded
  // paths are cleared, they are kept with the slot before the journal is
  // published, so that recovery also takes away files a killed change wrote
  // before its record did.
  std::vector<std::string> planned_writes;
};

// What the operation's own steps see.
struct PerformContext {
  const TargetStore& store;  // store.target: every write and removal goes through it
  std::optional<TargetScope> scope;
  // The surfaces the scope owns: measured, link-checked and captured.
  const std::vector<std::string>& surfaces;
  // What the change clears: the surfaces whole, or under user_root only the
  // paths the state file records writing (checked when it was read).
  const std::vector<std::string>& cleared;
  const StateRead& state_before;
  // The identity the plan expects, which the one measured under the lock is
  // confirmed to equal before the slot is recorded.
  std::string identity_before;
  std::string backup_ref;  // the slot captured before the effects
};

// The state-record fields an operation decides; perform fills the rest.
using EffectsOutcome = WrittenContent;

// The boundaries perform passes, in order; an observer sees each one just
// before the step after it starts (so a test can stop the process there).
enum class PerformStep {
  locked,
  verified,
  captured,
  journal_published,
  effects_made,
  identity_measured,
  state_written,
  journal_committed,
  journal_cleared,
};

struct PerformHooks {
  // Runs under the lock after the link check, before the capture.
  std::function<Status(const PerformContext&)> pre_checks;
  // Makes the operation's changes to the owned surfaces.
  std::function<Result<EffectsOutcome>(const PerformContext&)> effects;
  // Optional: told of each boundary.
  std::function<void(PerformStep)> observer;
  // The effects change nothing in the owned surfaces (a backup): the
  // identity after the change is the one measured before it.
  bool effects_leave_surfaces = false;
};

struct PerformOutcome {
  std::string backup_ref;
  std::string identity_before;
  std::string identity_after;
  ProviderState state;  // the record written
};

Result<PerformOutcome> perform(const Target& target, const PlanFacts& plan,
                               const PerformHooks& hooks);
// Validates the target text first.
Result<PerformOutcome> perform(std::string_view target_text, const PlanFacts& plan,
                               const PerformHooks& hooks);

}  // namespace velk
