#include "store/perform.h"

#include <future>
#include <optional>

#include "core/fs.h"
#include "core/fs_at.h"
#include "core/interrupt.h"
#include "core/progress.h"
#include "core/text.h"
#include "product/facts.h"
#include "store/identity.h"
#include "store/journal.h"
#include "core/atomic_write.h"
#include "core/json.h"
#include "store/pool.h"
#include "store/pool_files.h"

namespace velk {

namespace {

// The namespaces a record under the scope owns: the user-root profile's
// under user_root, the twelve owned surfaces otherwise.
std::vector<std::string> native_ownership(std::optional<TargetScope> scope) {
  const ProductDeclaration& d = declaration();
  if (scope == TargetScope::user_root) return d.user_root_profile.native_namespaces;
  return d.owned_paths();
}

ProviderState fill_state(const TargetStore& store, const PlanFacts& plan,
                         const StateRead& before, const std::string& identity_after,
                         const std::string& backup_ref, EffectsOutcome effects) {
  const ProductDeclaration& d = declaration();
  ProviderState s;
  s.state_schema = kStateSchema;
  s.protocol_version = kProtocolVersion;
  s.provider_id = std::string(d.provider_id);
  s.provider_version = std::string(d.provider_version);
  s.provider_build_digest = plan.provider_build_digest;
  s.provider_release_digest = plan.provider_release_digest;
  s.harness_id = std::string(d.product_id);
  s.canonical_target = lossy_utf8(store.target_path);
  s.target_identity_digest = identity_after;
  static_cast<WrittenContent&>(s) = std::move(effects);
  s.projection_profile_digest = plan.projection_profile_digest;
  s.provider_plan_digest = plan.plan_digest;
  s.operation_id = plan.operation_id;
  s.target_precondition_digest = plan.expected_target_digest;
  s.native_ownership = native_ownership(plan.scope);
  s.backup_ref = backup_ref;
  if (before.present()) s.previous_verified_identity = before.state.target_identity_digest;
  s.drift_state = DriftState::clean;
  return s;
}

}  // namespace

Result<PerformOutcome> perform(const Target& checked, const PlanFacts& plan,
                               const PerformHooks& hooks) {
  const auto observe = [&](PerformStep step) {
    if (hooks.observer) hooks.observer(step);
  };

  // SIGINT, SIGTERM and SIGHUP are obeyed at the boundaries below: before
  // the journal is published the change stops and leaves nothing behind;
  // after, it is finished (the caller says so and ends by the signal).
  const InterruptDeferral deferral;

  VELK_ASSIGN(const TargetStore store, open_target_store(checked));
  // Held from here to the return, on every path: the destructor releases it.
  VELK_ASSIGN(TargetLock lock, lock_target(store.control));
  VELK_TRY(annotate_lock(lock, lock_annotation(plan.operation)));
  observe(PerformStep::locked);

  const Dir& target = store.target;
  const std::vector<std::string> surfaces = scope_surfaces(plan.scope);

  // The identity is measured on a second thread while the checks and the
  // capture run: all of them only read the target, and the measurement is
  // compared with the plan's before the slot's record is written, so
  // nothing is changed and no slot is kept unless the target is the one the
  // plan was made against. A check that refuses yields to the identity's
  // verdict, which came first when the two ran one after the other.
  std::future<Result<std::string>> measuring = std::async(
      std::launch::async, [&target, &surfaces] { return target_identity(target, surfaces); });
  std::optional<Status> verdict;
  std::string identity_before;
  const auto verify = [&]() -> Status {
    if (!verdict) {
      auto measured = measuring.get();
      if (!measured.ok())
        verdict = Status(std::move(measured).error());
      else if (*measured != plan.expected_target_digest)
        verdict = Status(make_error(ErrorKind::stale,
                                    "the target changed after the lock was taken; no effect was made"));
      else
        verdict = Status{};
      if (verdict->ok()) identity_before = std::move(measured).value();
    }
    return *verdict;
  };
  const auto first_refusal = [&](Error checked) -> Error {
    if (Status v = verify(); !v.ok()) return std::move(v).error();
    return checked;
  };

  StateRead before;
  std::vector<std::string> cleared;
  const Status prepared = [&]() -> Status {
    VELK_ASSIGN(const auto incomplete, list_incomplete_slots(store.pool));
    VELK_TRY(check_resolved(store.control, store.pool.path, incomplete));
    VELK_ASSIGN(before, read_state(target));
    VELK_ASSIGN(const auto links, find_owned_links(target, surfaces));
    if (!links.empty()) return owned_links_refusal(links);
    VELK_ASSIGN(cleared, managed_paths(store.target_path, plan.scope, before));
    return {};
  }();
  if (!prepared.ok()) return first_refusal(prepared.error());
  // The identity the plan expects; confirmed before the slot is recorded.
  PerformContext context{store,  plan.scope, surfaces, cleared,
                         before, plan.expected_target_digest, ""};
  if (hooks.pre_checks) {
    if (Status pre = hooks.pre_checks(context); !pre.ok()) return first_refusal(pre.error());
  }
  observe(PerformStep::verified);
  if (interrupt_requested()) return interrupted_before_change();

  CaptureRequest request{plan.operation, plan.operation_id, plan.expected_target_digest,
                         std::nullopt, std::nullopt, verify};
  if (before.present()) {
    request.setup_id = before.state.setup_stable_id;
    request.setup_definition_digest = before.state.setup_definition_digest;
  }
  progress_phase(Phase::capturing);
  auto captured = capture(store.pool, target, surfaces, request, plan.restore_source);
  progress_phase(Phase::none);
  if (!captured.ok()) {
    if (stopped_before_change()) return std::move(captured).error();
    return first_refusal(std::move(captured).error());
  }
  context.backup_ref = std::move(captured).value();
  context.identity_before = identity_before;  // confirmed by the capture
  if (plan.scope == TargetScope::user_root && !plan.planned_writes.empty()) {
    VELK_ASSIGN(const std::string planned, canonical_json(Json(plan.planned_writes)));
    VELK_ASSIGN(const Dir slot, open_complete_slot(store.pool, context.backup_ref));
    VELK_TRY(slot.write(std::string(kPlannedWritesName), planned));
  }
  observe(PerformStep::captured);
  // The slot is complete and stays: a backup of the target as it still is.
  if (interrupt_requested()) return interrupted_before_change();

  Journal journal;
  journal.phase = "prepared";
  journal.operation_id = plan.operation_id;
  journal.operation = plan.operation;
  journal.plan_digest = plan.plan_digest;
  journal.target_precondition_digest = identity_before;
  journal.backup_ref = context.backup_ref;
  journal.target_scope = plan.scope;
  VELK_TRY(publish_journal(store.control, journal));
  interrupt_past_journal(store.target_path);
  observe(PerformStep::journal_published);

  // From here a failure leaves the journal prepared for recovery.
  if (!hooks.effects) std::abort();
  VELK_ASSIGN(EffectsOutcome effects, hooks.effects(context));
  observe(PerformStep::effects_made);
  if (stop_requested()) return stopped_for_recovery_error();

  // Effects that leave the owned surfaces as they were (a backup) leave the
  // identity as it was measured under the lock; otherwise it is measured,
  // and the same walk makes what the effects wrote and removed reach the
  // disk before the record that describes it, and before the journal that
  // could still undo it goes: this change's writes, never other processes'.
  std::string identity_after = identity_before;
  if (!hooks.effects_leave_surfaces) {
    progress_phase(Phase::measuring);
    VELK_ASSIGN(identity_after, target_identity(target, surfaces, /*flush=*/true));
    progress_phase(Phase::none);
  }
  observe(PerformStep::identity_measured);
  if (stop_requested()) return stopped_for_recovery_error();

  ProviderState state =
      fill_state(store, plan, before, identity_after, context.backup_ref, std::move(effects));
  VELK_TRY(write_state(target, state));
  observe(PerformStep::state_written);

  journal.phase = "committed";
  VELK_TRY(commit_journal(store.control, journal));
  observe(PerformStep::journal_committed);
  VELK_TRY(clear_journal(store.control));
  observe(PerformStep::journal_cleared);

  return PerformOutcome{context.backup_ref, identity_before, identity_after, std::move(state)};
}

Result<PerformOutcome> perform(std::string_view target_text, const PlanFacts& plan,
                               const PerformHooks& hooks) {
  VELK_ASSIGN(const Target target, validate_target(target_text));
  return perform(target, plan, hooks);
}

}  // namespace velk
