#include "protocol/plan_operation.h"

#include <algorithm>

#include "bundle/bundle.h"
#include "core/text.h"
#include "product/facts.h"
#include "protocol/plan_arguments.h"
#include "protocol/make_plan.h"
#include "protocol/plan.h"
#include "protocol/plan_software.h"
#include "protocol/plan_target.h"

namespace velk {
namespace {

Json envelope(const SealedPlan& sealed, const std::optional<BundleClaim>& validated) {
  Json o = Json::object();
  o["state"] = "planned";
  o["plan_digest"] = sealed.digest;
  o["effects"] = sealed.artifact["effects"];
  o["expected_target_digest"] = sealed.artifact["expected_target_digest"];
  if (validated) {
    o["bundle_format"] = validated->format;
    o["bundle_digest"] = validated->bundle_digest;
    o["artifact_digest"] = validated->artifact_digest;
    o["bundle_size"] = validated->size;
    o["valid"] = true;
  }
  o["plan"] = sealed.artifact;
  return o;
}

}  // namespace

Result<Json> plan_operation(const PlanOperationRequest& request) {
  VELK_TRY(check_plan_arguments(request));
  const Operation op = request.operation;
  const bool software = is_software_operation(op);
  if (!configures_target(op) && !software) return undeclared_refusal(op);

  Plan begun;
  // A software plan reads the release table and the prefix; what it finds
  // there decides before the target is looked at.
  if (software) VELK_TRY(plan_software(request, begun));

  VELK_ASSIGN(const TargetSurvey survey,
              survey_target(request.target, request.target_scope, !software));
  // Every change to the target captures it first, and apply refuses owned
  // paths that are links before anything is written: a plan that apply
  // would refuse for what the target already holds is refused now.
  if (!software) {
    VELK_ASSIGN(const auto links, find_owned_links(survey.store.target,
                                                   scope_surfaces(survey.scope)));
    if (!links.empty()) return owned_links_refusal(links);
  }

  std::optional<ValidatedBundle> bundle;
  if (request.bundle && (op == Operation::install || op == Operation::replace ||
                         op == Operation::remove)) {
    if (op == Operation::remove && survey.scope == TargetScope::user_root &&
        !survey.state.present())
      return user_root_remove_refusal(survey.store.target_path);
    VELK_ASSIGN(bundle, read_bundle(*request.bundle, requested_scope(survey.scope)));
  }

  const PlanRequest asked{.operation = op,
                         .operation_id = request.operation_id,
                         .provider_release_digest = request.provider_release_digest,
                         .expires_at = request.expires_at,
                         .permission_profile = request.permission_profile,
                         .backup_ref = request.backup_ref,
                         .bundle = bundle ? &*bundle : nullptr};
  VELK_ASSIGN(Plan plan, make_plan(survey, asked, std::move(begun)));
  VELK_ASSIGN(const SealedPlan sealed, seal_plan(std::move(plan)));
  return envelope(sealed, bundle ? std::optional<BundleClaim>(bundle->claim) : std::nullopt);
}

}  // namespace velk
