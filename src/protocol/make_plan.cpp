#include "protocol/make_plan.h"

#include "core/text.h"
#include "product/facts.h"

namespace velk {
namespace {

// At most this many "write {path}" lines; the count line names them all.
constexpr size_t kListedWrites = 16;

void append(std::vector<std::string>& to, const std::vector<std::string>& lines) {
  to.insert(to.end(), lines.begin(), lines.end());
}

Status plan_writes(const TargetSurvey& survey, const PlanRequest& request, Plan& plan) {
  if (request.voice == Voice::person) {
    plan.effects = {std::string(kCaptureEffect), "write setup " + request.setup_id + " into them"};
    return {};
  }
  const ValidatedBundle& bundle = *request.bundle;
  plan.bundle = bundle.claim;
  plan.effects.push_back(std::string(kCaptureEffect));
  append(plan.effects, scope_notes(survey.scope));
  plan.effects.push_back("write the " + std::to_string(bundle.files.size()) +
                         " declared files over the entries this provider owns");
  size_t listed = 0;
  for (const auto& [path, data] : bundle.files) {  // the map keeps byte order
    if (listed++ == kListedWrites) break;
    plan.effects.push_back("write " + path);
  }
  return {};
}

Status plan_backup(const Plan& common, Plan& plan) {
  plan.effects.push_back("capture " + common.canonical_target + " into a new backup slot");
  return {};
}

Status plan_restore(const TargetSurvey& survey, const PlanRequest& request, Plan& plan) {
  // A reference is judged as a reference before it is looked up.
  VELK_ASSIGN(const SlotEntry slot, resolve_restore_source(survey.store.pool, request.backup_ref));
  plan.backup_ref = slot.name;
  plan.restore_target_digest = slot.record.target_identity_digest;
  if (request.voice == Voice::person) {
    plan.effects = {std::string(kCaptureEffect),
                    request.backup_ref ? "restore the target from " + slot.name
                                       : std::string("restore the target from the most recent backup")};
    return {};
  }
  plan.effects.push_back("capture the current target before restoring");
  plan.effects.push_back("restore the target from " + slot.name);
  return {};
}

Status plan_remove(const TargetSurvey& survey, const PlanRequest& request, Plan& plan) {
  VELK_ASSIGN(RemovalPlan removal, plan_removal(survey, request.bundle));
  if (request.voice == Voice::person) {
    plan.effects = {std::string(kCaptureEffect)};
    append(plan.effects, removal.lines);
  } else {
    plan.effects.push_back("capture the current target before removing");
    append(plan.effects, scope_notes(survey.scope));
    append(plan.effects, removal.lines);
    // The bundle is named only when bytes survive: nothing else is read at
    // apply.
    if (removal.survivors > 0) {
      plan.effects.push_back("leave " + std::to_string(removal.survivors) +
                             " declared files behind at the bytes the bundle carries");
      plan.bundle = request.bundle->claim;
    }
  }
  plan.end_state = std::move(removal.end_states);
  return {};
}

Status plan_adopt(const PlanRequest& request, Plan& plan) {
  const Adoption& adoption = *request.adoption;
  plan.adoption = adoption;
  plan.effects = {std::string(kCaptureEffect),
                  "record " + quoted_form(adoption.setup_id) +
                      " as the setup this target holds, without writing one file of it",
                  "move " + request.stamp_name + " into " + request.adopted_dir +
                      ", where the old program no longer sees it"};
  return {};
}

}  // namespace

Result<Plan> make_plan(const TargetSurvey& survey, const PlanRequest& request, Plan plan) {
  VELK_ASSIGN(plan.provider_build_digest, provider_build_digest());
  plan.provider_release_digest = request.provider_release_digest;
  plan.operation_id = request.operation_id;
  plan.operation = request.operation;
  plan.canonical_target = lossy_utf8(survey.store.target_path);
  plan.expected_target_digest = survey.identity;
  plan.projection_profile_digest = survey.profile_digest;
  plan.permission_profile = request.permission_profile;
  plan.target_scope = survey.scope;
  plan.expires_at = request.expires_at;

  switch (request.operation) {
    case Operation::install:
    case Operation::replace: VELK_TRY(plan_writes(survey, request, plan)); break;
    case Operation::backup: VELK_TRY(plan_backup(plan, plan)); break;
    case Operation::restore: VELK_TRY(plan_restore(survey, request, plan)); break;
    case Operation::remove: VELK_TRY(plan_remove(survey, request, plan)); break;
    case Operation::adopt: VELK_TRY(plan_adopt(request, plan)); break;
    case Operation::software_install:
    case Operation::software_update:
    case Operation::software_remove: break;  // begun by plan_software
    case Operation::launch: std::abort();    // refused before any plan is made
  }
  return plan;
}

}  // namespace velk
