#include "protocol/plan_operation.h"

#include <algorithm>

#include "bundle/bundle.h"
#include "core/text.h"
#include "product/facts.h"
#include "protocol/plan_arguments.h"
#include "protocol/plan_artifact.h"
#include "protocol/plan_software.h"
#include "protocol/plan_target.h"

namespace velk {
namespace {

// At most this many "write {path}" lines; the count line names them all.
constexpr size_t kListedWrites = 16;

RequestedScope requested_scope(std::optional<TargetScope> scope) {
  if (!scope) return RequestedScope::global;
  return *scope == TargetScope::user_root ? RequestedScope::user_root : RequestedScope::project;
}

void append(std::vector<std::string>& to, const std::vector<std::string>& lines) {
  to.insert(to.end(), lines.begin(), lines.end());
}

Status plan_writes(const TargetSurvey& survey, const ValidatedBundle& bundle,
                                        PlanFields& fields) {
  fields.effects.push_back("capture the current target into a new backup slot");
  append(fields.effects, scope_notes(survey.scope));
  fields.effects.push_back("write " + std::to_string(bundle.files.size()) +
                           " declared files over the entries this provider owns");
  size_t listed = 0;
  for (const auto& [path, data] : bundle.files) {  // the map keeps byte order
    if (listed++ == kListedWrites) break;
    fields.effects.push_back("write " + path);
  }
  return {};
}

Status plan_restore(const TargetSurvey& survey,
                                         const std::optional<std::string>& ref,
                                         PlanFields& fields) {
  VELK_ASSIGN(const SlotEntry slot, restore_source(survey.store, ref));
  fields.backup_ref = slot.name;
  fields.restore_target_digest = slot.record.target_identity_digest;
  fields.effects.push_back("capture the current target before restoring");
  fields.effects.push_back("restore the target from " + slot.name);
  return {};
}

Status plan_remove(const TargetSurvey& survey, const ValidatedBundle* bundle,
                                        PlanFields& fields) {
  VELK_ASSIGN(RemovalPlan removal, plan_removal(survey, bundle));
  fields.effects.push_back("capture the current target before removing");
  append(fields.effects, scope_notes(survey.scope));
  append(fields.effects, removal.lines);
  if (removal.survivors > 0) {
    fields.effects.push_back("leave " + std::to_string(removal.survivors) +
                             " declared files behind at the bytes the bundle carries");
  } else {
    fields.bundle.reset();  // nothing survives, so no bundle is read at apply
  }
  fields.end_state = std::move(removal.end_states);
  return {};
}

Json envelope(const SealedPlan& sealed, const std::optional<BundleClaim>& validated) {
  Json o = Json::object();
  o["state"] = "planned";
  o["plan_digest"] = sealed.digest;
  o["effects"] = sealed.plan["effects"];
  o["expected_target_digest"] = sealed.plan["expected_target_digest"];
  if (validated) {
    o["bundle_format"] = validated->format;
    o["bundle_digest"] = validated->bundle_digest;
    o["artifact_digest"] = validated->artifact_digest;
    o["bundle_size"] = validated->size;
    o["valid"] = true;
  }
  o["plan"] = sealed.plan;
  return o;
}

}  // namespace

Result<Json> plan_operation(const PlanOperationRequest& request) {
  VELK_TRY(check_plan_arguments(request));
  const Operation op = request.operation;
  const bool software = is_software_operation(op);
  if (!configures_target(op) && !software) return undeclared_refusal(op);

  PlanFields fields;
  // A software plan reads the release table and the prefix; what it finds
  // there decides before the target is looked at.
  if (software) VELK_TRY(plan_software(request, fields));

  VELK_ASSIGN(const TargetSurvey survey,
              survey_target(request.target, request.target_scope, !software));

  auto build = provider_build_digest();
  if (!build.ok()) return std::move(build).error();
  fields.provider_build_digest = std::move(build).value();
  fields.provider_release_digest = request.provider_release_digest;
  fields.operation_id = request.operation_id;
  fields.operation = op;
  fields.canonical_target = lossy_utf8(survey.store.target_path);
  fields.expected_target_digest = survey.identity;
  fields.projection_profile_digest = survey.profile_digest;
  fields.permission_profile = request.permission_profile;
  fields.target_scope = survey.scope;
  fields.expires_at = request.expires_at;

  std::optional<ValidatedBundle> bundle;
  if (request.bundle && (op == Operation::install || op == Operation::replace ||
                         op == Operation::remove)) {
    if (op == Operation::remove && survey.scope == TargetScope::user_root &&
        !survey.state.present())
      return user_root_remove_refusal(survey.store.target_path);
    VELK_ASSIGN(bundle, read_bundle(*request.bundle, requested_scope(survey.scope)));
    fields.bundle = request.bundle;
  }

  switch (op) {
    case Operation::software_install:
    case Operation::software_update:
    case Operation::software_remove: break;  // planned above
    case Operation::install:
    case Operation::replace: VELK_TRY(plan_writes(survey, *bundle, fields)); break;
    case Operation::backup:
      fields.effects.push_back("capture " + fields.canonical_target + " into a new backup slot");
      break;
    case Operation::restore: VELK_TRY(plan_restore(survey, request.backup_ref, fields)); break;
    case Operation::remove:
      VELK_TRY(plan_remove(survey, bundle ? &*bundle : nullptr, fields));
      break;
    default: std::abort();  // only target operations reach here
  }

  VELK_ASSIGN(const SealedPlan sealed, seal_plan(fields));
  return envelope(sealed, bundle ? std::optional<BundleClaim>(bundle->claim) : std::nullopt);
}

}  // namespace velk
