#include "protocol/apply_plan.h"

#include <utility>

#include "core/clock.h"
#include "core/digest.h"
#include "core/text.h"
#include "product/facts.h"
#include "product/profile.h"
#include "protocol/apply_effects.h"
#include "protocol/plan_arguments.h"
#include "protocol/plan_artifact.h"
#include "protocol/plan_target.h"
#include "store/pool.h"

namespace velk {
namespace {


const Json* member(const Json& plan, std::string_view name) {
  return plan.is_object() ? find_member(plan, name) : nullptr;
}

Result<std::string> text_member(const Json& plan, std::string_view name) {
  const Json* value = member(plan, name);
  if (!value || value->is_null())
    return refusal(ReasonCode::provider_unavailable, "the plan artifact has no " + std::string(name));
  if (!value->is_string())
    return refusal(ReasonCode::provider_unavailable, "the plan artifact's " + std::string(name) +
                                                        " is " + json_type_words(*value) +
                                                        ", not a string");
  return value->get<std::string>();
}

Result<std::optional<std::string>> optional_text_member(const Json& plan,
                                                                std::string_view name) {
  const Json* value = member(plan, name);
  if (!value || value->is_null()) return std::optional<std::string>();
  VELK_ASSIGN(std::string text, text_member(plan, name));
  return std::optional<std::string>(std::move(text));
}

// The members apply acts on, read once the plan has passed the checks.
struct ApprovedPlan {
  Operation operation = Operation::install;
  std::string operation_id;
  std::string canonical_target;
  std::string expected_target_digest;
  std::optional<std::string> provider_release_digest;
  const Json* bundle = nullptr;  // nullptr when the plan names none
  std::optional<std::string> backup_ref;
  std::optional<std::string> restore_target_digest;
  std::optional<TargetScope> scope;
  std::vector<EndState> end_states;
};

Result<Operation> read_operation(const Json& plan) {
  const Json* value = member(plan, "operation");
  if (!value) return refusal(ReasonCode::unsupported_operation, "the plan artifact has no operation");
  const std::string name = value->is_string() ? value->get<std::string>() : compact_json(*value);
  const std::optional<Operation> op =
      value->is_string() ? parse_operation(name) : std::nullopt;
  if (!op)
    return refusal(ReasonCode::unsupported_operation,
                  name + " is not an operation this protocol defines");
  return *op;
}

Status check_expiry(const Json& plan) {
  const Json* value = member(plan, "expires_at");
  if (!value) return refusal(ReasonCode::stale, "the plan artifact has no expires_at");
  const std::string text = value->is_string() ? value->get<std::string>() : compact_json(*value);
  const std::optional<int64_t> when =
      value->is_string() ? parse_utc_millis(text) : std::nullopt;
  if (!when)
    return refusal(ReasonCode::stale,
                  "the plan's expiry " + text +
                      " is not the exact shape YYYY-MM-DDTHH:MM:SS.mmmZ, so no authorization "
                      "could be read from it; no effect was made");
  if (*when < now_utc_millis())
    return refusal(ReasonCode::stale, "this plan expired before it was applied; no effect was made");
  return {};
}

// End states in the shapes check_plan has already accepted.
std::vector<EndState> read_end_states(const Json& plan) {
  std::vector<EndState> states;
  const Json* list = member(plan, "end_state");
  if (!list || !list->is_array()) return states;
  for (const Json& item : *list) {
    EndState state;
    state.path = item.at("path").get<std::string>();
    state.final_bytes = item.at("end_state") == "final_bytes";
    if (state.final_bytes) {
      state.member = item.at("member").get<std::string>();
      state.sha256 = item.at("sha256").get<std::string>();
      state.byte_length = item.at("byte_length").get<uint64_t>();
    }
    states.push_back(std::move(state));
  }
  return states;
}

Result<std::optional<TargetScope>> read_scope(const Json& plan) {
  VELK_ASSIGN(const std::optional<std::string> word, optional_text_member(plan, "target_scope"));
  if (!word) return std::optional<TargetScope>();
  const std::optional<TargetScope> scope = parse_scope(*word);
  if (!scope || !profile_for_scope(scope))
    return refusal(ReasonCode::unsupported_operation,
                  "--target-scope " + *word +
                      " names a target this provider publishes no projection profile for");
  return std::optional<TargetScope>(scope);
}

Result<ApprovedPlan> read_plan(const Json& plan, Operation op) {
  ApprovedPlan p;
  p.operation = op;
  VELK_ASSIGN(p.operation_id, text_member(plan, "operation_id"));
  VELK_ASSIGN(p.canonical_target, text_member(plan, "canonical_target"));
  VELK_ASSIGN(p.expected_target_digest, text_member(plan, "expected_target_digest"));
  if (const Json* release = member(plan, "provider_release_digest"); release && release->is_string())
    p.provider_release_digest = release->get<std::string>();
  if (const Json* bundle = member(plan, "bundle"); bundle && !bundle->is_null()) p.bundle = bundle;
  VELK_ASSIGN(p.backup_ref, optional_text_member(plan, "backup_ref"));
  VELK_ASSIGN(p.restore_target_digest, optional_text_member(plan, "restore_target_digest"));
  VELK_ASSIGN(p.scope, read_scope(plan));
  p.end_states = read_end_states(plan);
  if (op == Operation::restore && !p.backup_ref)
    return refusal(ReasonCode::provider_unavailable, "the plan artifact has no backup_ref");
  return p;
}

bool claim_matches(const Json* planned, const BundleClaim& claim) {
  if (!planned || !planned->is_object()) return false;
  const Json* format = find_member(*planned, "bundle_format");
  const Json* digest = find_member(*planned, "bundle_digest");
  const Json* artifact = find_member(*planned, "artifact_digest");
  const Json* size = find_member(*planned, "bundle_size");
  return format && *format == claim.format && digest && *digest == claim.bundle_digest &&
         artifact && *artifact == claim.artifact_digest && size &&
         size->is_number_unsigned() && size->get<uint64_t>() == claim.size;
}

RequestedScope requested_scope(std::optional<TargetScope> scope) {
  return scope == TargetScope::user_root ? RequestedScope::user_root : RequestedScope::global;
}

// The bundle the plan names, read and validated; the named claim must be
// the planned one.
Result<ValidatedBundle> planned_bundle(const ApprovedPlan& plan, const BundleClaim& claim) {
  if (!claim_matches(plan.bundle, claim))
    return refusal(ReasonCode::digest_mismatch,
                  "the bundle named at apply is not the one the plan was made with; no effect "
                  "was made");
  return read_bundle(claim, requested_scope(plan.scope));
}

SetupContent bundle_content(ValidatedBundle bundle) {
  SetupContent content;
  EffectsOutcome& r = content.record;
  if (!bundle.setup_stable_id.empty()) r.setup_stable_id = bundle.setup_stable_id;
  if (!bundle.setup_version.empty()) r.setup_version = bundle.setup_version;
  for (const ComponentAdaptation& adaptation : bundle.manifest.component_adaptations)
    r.component_refs.push_back(adaptation.stable_id);
  r.bundle_format = bundle.claim.format;
  r.bundle_digest = bundle.claim.bundle_digest;
  r.artifact_digest = bundle.claim.artifact_digest;
  content.files = std::move(bundle.files);
  return content;
}

// The files a removal leaves behind, each found in the bundle at the bytes
// the plan names, at the path its member carries.
Result<FileMap> survivors(const ApprovedPlan& plan, const ApplyInputs& inputs) {
  size_t planned = 0;
  for (const EndState& state : plan.end_states) planned += state.final_bytes;
  if (planned == 0) {
    if (inputs.bundle)
      return refusal(ReasonCode::unsupported_operation,
                    "this remove plan leaves no bytes behind, so a bundle named at apply was "
                    "never authorized; plan the removal with the bundle");
    return FileMap{};
  }
  if (!inputs.bundle)
    return refusal(ReasonCode::unsupported_bundle_format,
                  "this remove was planned with surviving bytes, and no bundle was named to carry "
                  "them");
  VELK_ASSIGN(ValidatedBundle bundle, planned_bundle(plan, *inputs.bundle));
  if (bundle.files.size() != planned)
    return refusal(ReasonCode::digest_mismatch,
                  "the plan leaves " + std::to_string(planned) + " files behind and the bundle carries " +
                      std::to_string(bundle.files.size()) + "; no effect was made");
  FileMap kept;
  for (const EndState& state : plan.end_states) {
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
    kept.emplace(state.path, std::move(found->second));
  }
  return kept;
}

EffectsOutcome carried_record(const StateRead& before) {
  EffectsOutcome r;
  if (!before.present()) return r;
  const ProviderState& s = before.state;
  r.setup_stable_id = s.setup_stable_id;
  r.setup_version = s.setup_version;
  r.setup_version_passport_digest = s.setup_version_passport_digest;
  r.setup_definition_digest = s.setup_definition_digest;
  r.component_refs = s.component_refs;
  r.bundle_format = s.bundle_format;
  r.bundle_digest = s.bundle_digest;
  r.artifact_digest = s.artifact_digest;
  r.written_paths = s.written_paths;
  return r;
}

std::vector<std::string> paths_of(const FileMap& files) {
  std::vector<std::string> paths;
  paths.reserve(files.size());
  for (const auto& [path, data] : files) paths.push_back(path);
  return paths;
}

// Everything apply hands to perform for one plan.
struct Change {
  ApprovedPlan plan;
  std::string plan_digest;
  const SetupContent* content = nullptr;  // install, replace
  FileMap survivors;                      // remove
};

Status pre_checks(const Change& change, const PerformContext& context) {
  const ApprovedPlan& plan = change.plan;
  const std::string& target = context.store.target_path;
  if (context.state_before.present()) {
    const std::optional<TargetScope> recorded = recorded_scope(context.state_before.state);
    if (recorded != plan.scope) return scope_mismatch(target, recorded, plan.scope);
  }
  if (plan.operation == Operation::remove && plan.scope == TargetScope::user_root &&
      !context.state_before.present())
    return user_root_remove_refusal(target);
  if (plan.operation == Operation::restore) {
    VELK_ASSIGN(const SlotEntry slot, resolve_restore_source(context.store.pool, plan.backup_ref));
    if (slot.record.target_identity_digest != plan.restore_target_digest)
      return make_error(ErrorKind::stale, "backup " + slot.name +
                                              " no longer holds the target this plan restores; "
                                              "no effect was made");
  }
  return {};
}

Result<EffectsOutcome> effects(const Change& change, const PerformContext& context) {
  const std::string& target = context.store.target_path;
  switch (change.plan.operation) {
    case Operation::install:
    case Operation::replace: {
      VELK_TRY(clear_owned(context));
      VELK_TRY(write_files(context, change.content->files));
      EffectsOutcome record = change.content->record;
      record.written_paths = paths_of(change.content->files);
      return record;
    }
    case Operation::remove: {
      VELK_TRY(clear_owned(context));
      VELK_TRY(write_files(context, change.survivors));
      EffectsOutcome record;
      record.written_paths = paths_of(change.survivors);
      return record;
    }
    case Operation::restore: {
      VELK_ASSIGN(const SlotEntry slot,
                  resolve_restore_source(context.store.pool, change.plan.backup_ref));
      VELK_ASSIGN(const std::string payload, slot_payload(context.store.pool, slot.name));
      EffectsOutcome record;
      record.setup_stable_id = slot.record.setup_id;
      record.setup_definition_digest = slot.record.setup_definition_digest;
      // Under user_root only this provider's paths go back or away: those
      // the target's record names and those the slot's own record named.
      std::vector<std::string> acted_on = context.cleared;
      if (change.plan.scope == TargetScope::user_root) {
        VELK_ASSIGN(const auto kept, kept_written_paths(slot.dir));
        acted_on.insert(acted_on.end(), kept.begin(), kept.end());
      }
      VELK_ASSIGN(std::vector<std::string> restored,
                  restore_payload(target, payload, change.plan.scope, acted_on));
      record.written_paths = recordable_paths(std::move(restored), change.plan.scope);
      return record;
    }
    case Operation::backup: return carried_record(context.state_before);
    default: std::abort();  // only target operations are performed
  }
}

}  // namespace

Result<Operation> check_approved_plan(const Json& plan, const std::string& approved_digest) {
  {
    auto digest = plan_digest(plan);
    if (!digest.ok() || *digest != approved_digest)
      return refusal(ReasonCode::digest_mismatch,
                    "the approved plan artifact has another digest; no effect was made");
  }
  VELK_ASSIGN(const Operation op, read_operation(plan));
  VELK_TRY(check_expiry(plan));
  VELK_TRY(check_plan(plan));
  return op;
}

Result<ApplyOutcome> apply_plan(std::string_view target, const Json& plan,
                                        const std::string& approved_digest,
                                        const ApplyInputs& inputs) {
  VELK_ASSIGN(const Operation op, check_approved_plan(plan, approved_digest));
  if (inputs.prefix && configures_target(op)) return prefix_refusal(op, *inputs.prefix);
  if (!configures_target(op)) return undeclared_refusal(op);

  Change change;
  VELK_ASSIGN(change.plan, read_plan(plan, op));
  change.plan_digest = approved_digest;
  SetupContent from_bundle;
  if (op == Operation::install || op == Operation::replace) {
    if (inputs.content && !change.plan.bundle) {
      change.content = inputs.content;
    } else {
      if (!inputs.bundle) return missing_bundle_refusal(op);
      VELK_ASSIGN(ValidatedBundle bundle, planned_bundle(change.plan, *inputs.bundle));
      from_bundle = bundle_content(std::move(bundle));
      change.content = &from_bundle;
    }
  }
  if (op == Operation::remove) {
    VELK_ASSIGN(change.survivors, survivors(change.plan, inputs));
  }

  // A plan is made for one target: applying it to another, even one that
  // happens to measure the same, was never approved.
  {
    auto located = validate_target(target);
    if (!located.ok()) return std::move(located).error();
    if (lossy_utf8(located->path) != change.plan.canonical_target)
      return refusal(ReasonCode::stale, "the approved plan was made for " +
                                           change.plan.canonical_target + ", not " +
                                           located->path + "; no effect was made");
  }

  PlanFacts facts;
  facts.operation = std::string(operation_name(op));
  facts.operation_id = change.plan.operation_id;
  facts.plan_digest = approved_digest;
  facts.expected_target_digest = change.plan.expected_target_digest;
  facts.scope = change.plan.scope;
  facts.provider_release_digest = change.plan.provider_release_digest;
  {
    auto build = provider_build_digest();
    if (!build.ok()) return std::move(build).error();
    facts.provider_build_digest = std::move(build).value();
    auto profile = profile_digest(*profile_for_scope(change.plan.scope));
    if (!profile.ok()) return std::move(profile).error();
    facts.projection_profile_digest = std::move(profile).value();
  }
  if (op == Operation::restore) facts.restore_source = change.plan.backup_ref;
  if (change.content) facts.planned_writes = paths_of(change.content->files);
  if (op == Operation::remove) facts.planned_writes = paths_of(change.survivors);

  PerformHooks hooks;
  hooks.pre_checks = [&change](const PerformContext& context) {
    return pre_checks(change, context);
  };
  hooks.effects = [&change](const PerformContext& context) { return effects(change, context); };
  hooks.observer = inputs.observer;

  auto performed = perform(target, facts, hooks);
  if (!performed.ok()) return std::move(performed).error();
  ApplyOutcome outcome;
  outcome.operation = op;
  outcome.plan_digest = approved_digest;
  outcome.expected_target_digest = change.plan.expected_target_digest;
  outcome.target_identity_digest = performed->identity_after;
  outcome.backup_ref = performed->backup_ref;
  outcome.setup_id = performed->state.setup_stable_id;
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
