#include "protocol/apply_plan.h"

#include <sys/stat.h>

#include <utility>

#include "core/digest.h"
#include "core/fs.h"
#include "core/progress.h"
#include "core/text.h"
#include "product/facts.h"
#include "product/profile.h"
#include "protocol/apply_effects.h"
#include "protocol/plan_arguments.h"
#include "protocol/plan_target.h"
#include "store/store.h"

namespace velk {
namespace {

bool claim_matches(const std::optional<BundleClaim>& planned, const BundleClaim& named) {
  return planned && planned->format == named.format &&
         planned->bundle_digest == named.bundle_digest &&
         planned->artifact_digest == named.artifact_digest && planned->size == named.size;
}

// The bundle the plan names, read and validated; the named claim must be
// the planned one.
Result<ValidatedBundle> planned_bundle(const Plan& plan, const BundleClaim& claim) {
  if (!claim_matches(plan.bundle, claim))
    return refusal(ReasonCode::digest_mismatch,
                   "the bundle named at apply is not the one the plan was made with; no effect "
                   "was made");
  return read_bundle(claim, requested_scope(plan.target_scope));
}

SetupContent bundle_content(ValidatedBundle bundle) {
  SetupContent content;
  WrittenContent& r = content.record;
  if (!bundle.setup_stable_id.empty()) r.setup_stable_id = bundle.setup_stable_id;
  if (!bundle.setup_version.empty()) r.setup_version = bundle.setup_version;
  for (const ComponentAdaptation& adaptation : bundle.manifest.component_adaptations)
    r.component_refs.push_back(adaptation.stable_id);
  r.bundle_format = bundle.claim.format;
  r.bundle_digest = bundle.claim.bundle_digest;
  r.artifact_digest = bundle.claim.artifact_digest;
  content.files = std::move(bundle.files);
  content.storage = std::move(bundle.storage);
  return content;
}

// The files a removal leaves behind, each found in the bundle at the bytes
// the plan names, at the path its member carries.
Result<SetupContent> survivors(const Plan& plan, const ApplyInputs& inputs) {
  size_t planned = 0;
  for (const EndState& state : plan.end_state) planned += state.final_bytes;
  if (planned == 0) {
    if (inputs.bundle)
      return refusal(ReasonCode::unsupported_operation,
                     "this remove plan leaves no bytes behind, so a bundle named at apply was "
                     "never authorized; plan the removal with the bundle");
    return SetupContent{};
  }
  if (!inputs.bundle)
    return refusal(ReasonCode::unsupported_bundle_format,
                   "this remove was planned with surviving bytes, and no bundle was named to "
                   "carry them");
  VELK_ASSIGN(ValidatedBundle bundle, planned_bundle(plan, *inputs.bundle));
  if (bundle.files.size() != planned)
    return refusal(ReasonCode::digest_mismatch,
                   "the plan leaves " + std::to_string(planned) +
                       " files behind and the bundle carries " +
                       std::to_string(bundle.files.size()) + "; no effect was made");
  SetupContent kept;
  kept.storage = bundle.storage;
  for (const EndState& state : plan.end_state) {
    if (!state.final_bytes) continue;
    const auto found = bundle.files.find(state.path);
    const bool carried = state.member == bundle_member_name(state.path) &&
                         found != bundle.files.end() &&
                         found->second.bytes.size() == state.byte_length &&
                         digest_bytes(found->second.bytes) == state.sha256;
    if (!carried)
      return refusal(ReasonCode::digest_mismatch,
                     "the plan leaves " + quoted_form(state.path) +
                         " at bytes the bundle named for apply does not carry; no effect was made");
    kept.files.emplace(state.path, found->second);
  }
  return kept;
}

// A backup changes nothing, so the record goes on saying what it said.
WrittenContent carried_record(const StateRead& before) {
  if (!before.present()) return {};
  return static_cast<const WrittenContent&>(before.state);
}

std::vector<std::string> paths_of(const FileMap& files) {
  std::vector<std::string> paths;
  paths.reserve(files.size());
  for (const auto& [path, data] : files) paths.push_back(path);
  return paths;
}

// Everything apply hands to perform for one plan.
struct Change {
  const Plan& plan;
  const SetupContent* content = nullptr;  // install, replace
  SetupContent survivors{};               // remove
};

std::string adopted_path(const PerformContext& context) {
  return path_join(path_join(context.store.control_dir, kAdoptedDirName),
                   declaration().legacy_stamp_name);
}

// Under the lock: the stamp must still be the one the plan was made from,
// nothing adopted earlier may be overwritten, and the target must not be
// managed under user_root.
Status adoption_checks(const Adoption& adoption, const PerformContext& context) {
  const Dir& target = context.store.target;
  const std::string stamp = legacy_stamp_path(context.store.target_path);
  VELK_ASSIGN(const std::optional<std::string> now, read_legacy_stamp(target));
  if (!now || digest_bytes(*now) != adoption.legacy_stamp_digest)
    return make_error(ErrorKind::stale, stamp + " changed after it was read; no effect was made");
  VELK_TRY(check_adoptable_scope(context.store.target_path, context.state_before));
  const std::string kept_at = adopted_path(context);
  if (context.store.control.stat(std::string(kAdoptedDirName) + "/" +
                                 std::string(declaration().legacy_stamp_name)))
    return make_error(ErrorKind::unsupported_operation,
                      kept_at +
                          " already keeps a stamp adopted earlier; move it away before adopting "
                          "again. No effect was made");
  return {};
}

// The stamp moves into the control directory, where the old tools no longer
// see it; no claimed file is rewritten.
Result<WrittenContent> adopt(const Adoption& adoption, const PerformContext& context) {
  const TargetStore& store = context.store;
  const std::string name(declaration().legacy_stamp_name);
  const std::string stamp = legacy_stamp_path(store.target_path);
  const std::string kept_at = adopted_path(context);
  auto adopted = store.control.open_or_make(kAdoptedDirName);
  if (!adopted.ok())
    return system_error(ErrorKind::state_unavailable, "cannot create " + parent_path(kept_at),
                        adopted.error());
  if (const int e = store.target.move_to(name, *adopted, name); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot move " + stamp + " to " + kept_at, e);
  for (const Dir* dir : {static_cast<const Dir*>(&adopted.value()), &store.target})
    if (const int e = dir->sync(); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush " + dir->path(), e);
  WrittenContent record;
  record.setup_stable_id = adoption.setup_id;
  record.setup_definition_digest = adoption.setup_definition_digest;
  record.written_paths = adoption.claimed_paths;
  return record;
}

Status pre_checks(const Change& change, const PerformContext& context) {
  const Plan& plan = change.plan;
  const std::string& target = context.store.target_path;
  if (context.state_before.present()) {
    const std::optional<TargetScope> recorded = recorded_scope(context.state_before.state);
    if (recorded != plan.target_scope) return scope_mismatch(target, recorded, plan.target_scope);
  }
  if (plan.operation == Operation::remove && plan.target_scope == TargetScope::user_root &&
      !context.state_before.present())
    return user_root_remove_refusal(target);
  if (plan.operation == Operation::restore) {
    VELK_ASSIGN(const SlotEntry slot, resolve_restore_source(context.store.pool, plan.backup_ref));
    if (slot.record.target_identity_digest != plan.restore_target_digest)
      return make_error(ErrorKind::stale, "backup " + slot.name +
                                              " no longer holds the target this plan restores; "
                                              "no effect was made");
  }
  if (plan.operation == Operation::adopt) VELK_TRY(adoption_checks(*plan.adoption, context));
  return {};
}

Result<WrittenContent> effects(const Change& change, const PerformContext& context) {
  const Dir& target = context.store.target;
  const Plan& plan = change.plan;
  switch (plan.operation) {
    case Operation::install:
    case Operation::replace: {
      VELK_TRY(clear_owned(context));
      VELK_TRY(write_files(context, change.content->files));
      WrittenContent record = change.content->record;
      record.written_paths = paths_of(change.content->files);
      return record;
    }
    case Operation::remove: {
      VELK_TRY(clear_owned(context));
      VELK_TRY(write_files(context, change.survivors.files));
      WrittenContent record;
      record.written_paths = paths_of(change.survivors.files);
      return record;
    }
    case Operation::restore: {
      VELK_ASSIGN(const SlotEntry slot, resolve_restore_source(context.store.pool, plan.backup_ref));
      VELK_ASSIGN(const Dir payload, slot_payload(slot.dir));
      WrittenContent record;
      record.setup_stable_id = slot.record.setup_id;
      record.setup_definition_digest = slot.record.setup_definition_digest;
      // Under user_root only this provider's paths go back or away: those
      // the target's record names and those the slot's own record named.
      std::vector<std::string> acted_on = context.cleared;
      if (plan.target_scope == TargetScope::user_root) {
        VELK_ASSIGN(const auto kept, kept_written_paths(slot.dir));
        acted_on.insert(acted_on.end(), kept.begin(), kept.end());
      }
      progress_phase(Phase::restoring);
      VELK_ASSIGN(std::vector<std::string> restored,
                  restore_payload(target, payload, plan.target_scope, acted_on));
      record.written_paths = recordable_paths(std::move(restored), plan.target_scope);
      return record;
    }
    case Operation::backup: return carried_record(context.state_before);
    case Operation::adopt: return adopt(*plan.adoption, context);
    default: std::abort();  // only target operations are performed
  }
}

}  // namespace

Result<ApplyOutcome> apply_plan(const Target& target, const Plan& plan,
                                const std::string& plan_digest, const ApplyInputs& inputs) {
  const Operation op = plan.operation;
  const bool adoption = op == Operation::adopt && plan.adoption;
  if (inputs.prefix && configures_target(op)) return prefix_refusal(op, *inputs.prefix);
  if (!configures_target(op) && !adoption) return undeclared_refusal(op);

  Change change{plan};
  SetupContent from_bundle;
  if (op == Operation::install || op == Operation::replace) {
    if (inputs.content && !plan.bundle) {
      change.content = inputs.content;
    } else {
      if (!inputs.bundle) return missing_bundle_refusal(op);
      VELK_ASSIGN(ValidatedBundle bundle, planned_bundle(plan, *inputs.bundle));
      from_bundle = bundle_content(std::move(bundle));
      change.content = &from_bundle;
    }
  }
  if (op == Operation::remove) {
    VELK_ASSIGN(change.survivors, survivors(plan, inputs));
  }

  // A plan is made for one target: applying it to another, even one that
  // happens to measure the same, was never approved.
  if (lossy_utf8(target.path) != plan.canonical_target)
    return refusal(ReasonCode::stale, "the approved plan was made for " + plan.canonical_target +
                                          ", not " + target.path + "; no effect was made");

  PlanFacts facts;
  facts.operation = std::string(operation_name(op));
  facts.operation_id = plan.operation_id;
  facts.plan_digest = plan_digest;
  facts.expected_target_digest = plan.expected_target_digest;
  facts.scope = plan.target_scope;
  facts.provider_release_digest = plan.provider_release_digest;
  VELK_ASSIGN(facts.provider_build_digest, provider_build_digest());
  VELK_ASSIGN(facts.projection_profile_digest, profile_digest(*profile_for_scope(plan.target_scope)));
  if (op == Operation::restore) {
    facts.restore_source = plan.backup_ref;
    // Under user_root a restore writes the paths the slot's own record
    // named: kept with the new slot, so that recovery takes away what a
    // killed restore wrote before it could record it.
    if (plan.target_scope == TargetScope::user_root) {
      VELK_ASSIGN(const TargetStore store, locate_target_store(target));
      VELK_ASSIGN(const Dir slot, open_complete_slot(store.pool, *plan.backup_ref));
      VELK_ASSIGN(facts.planned_writes, kept_written_paths(slot));
    }
  }
  if (change.content) facts.planned_writes = paths_of(change.content->files);
  if (op == Operation::remove) facts.planned_writes = paths_of(change.survivors.files);

  PerformHooks hooks;
  hooks.pre_checks = [&change](const PerformContext& context) {
    return pre_checks(change, context);
  };
  hooks.effects = [&change](const PerformContext& context) { return effects(change, context); };
  hooks.observer = inputs.observer;
  hooks.effects_leave_surfaces = op == Operation::backup;

  VELK_ASSIGN(const PerformOutcome performed, perform(target, facts, hooks));
  ApplyOutcome outcome;
  outcome.operation = op;
  outcome.plan_digest = plan_digest;
  outcome.expected_target_digest = plan.expected_target_digest;
  outcome.target_identity_digest = performed.identity_after;
  outcome.backup_ref = performed.backup_ref;
  outcome.setup_id = performed.state.setup_stable_id;
  return outcome;
}

Json apply_result_document(const ApplyOutcome& outcome) {
  Json o = Json::object();
  o["state"] = "verified";
  o["operation"] = std::string(operation_name(outcome.operation));
  o["plan_digest"] = outcome.plan_digest;
  o["expected_target_digest"] = outcome.expected_target_digest;
  o["target_identity_digest"] = outcome.target_identity_digest;
  o["backup_ref"] = outcome.backup_ref;
  o["setup_id"] = outcome.setup_id ? Json(*outcome.setup_id) : Json(nullptr);
  return o;
}

}  // namespace velk
