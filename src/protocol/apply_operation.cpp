#include "protocol/apply_operation.h"

#include "core/fs.h"
#include "protocol/apply_plan.h"
#include "protocol/apply_software.h"
#include "protocol/plan.h"

namespace velk {

namespace {

// The largest plan this build reads: a removal of 8192 paths, each with its
// end state, stays far below it.
constexpr uint64_t kPlanFileCap = 16 * 1024 * 1024;

}  // namespace

Result<Plan> approved_plan(const Json& artifact, const std::string& approved_digest) {
  // The approval is of the document as the consumer holds it.
  if (auto digest = plan_digest(artifact); !digest.ok() || *digest != approved_digest)
    return refusal(ReasonCode::digest_mismatch,
                   "the approved plan artifact has another digest; no effect was made");
  return plan_from_json(artifact);
}

Result<Json> apply_operation(const ApplyOperationRequest& request) {
  auto text = read_file(request.plan_path, "cannot read " + request.plan_path, kPlanFileCap);
  if (!text.ok()) {
    const Error& e = text.error();
    return refusal(ReasonCode::provider_unavailable,
                   "the approved plan at " + request.plan_path + " cannot be read: " +
                       (e.has_cause() ? e.cause : e.message));
  }
  auto artifact = parse_json(*text);
  if (!artifact.ok())
    return refusal(ReasonCode::provider_unavailable,
                   "the approved plan is not JSON: " + artifact.error());

  VELK_ASSIGN(const Plan plan, approved_plan(*artifact, request.plan_digest));
  if (is_software_operation(plan.operation))
    return apply_software_plan(plan, request.prefix, request.software_artifacts);

  ApplyInputs inputs;
  inputs.bundle = request.bundle;
  inputs.prefix = request.prefix;
  VELK_ASSIGN(const Target target, validate_target(request.target));
  VELK_ASSIGN(const ApplyOutcome outcome, apply_plan(target, plan, request.plan_digest, inputs));
  return apply_result_document(outcome);
}

}  // namespace velk
