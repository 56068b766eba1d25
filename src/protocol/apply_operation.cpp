#include "protocol/apply_operation.h"

#include "core/fs.h"
#include "protocol/apply_plan.h"
#include "protocol/apply_software.h"

namespace velk {

Result<Json> apply_operation(const ApplyOperationRequest& request) {
  auto text = read_file(request.plan_path, "cannot read " + request.plan_path);
  if (!text.ok()) {
    const Error& e = text.error();
    return refusal(ReasonCode::provider_unavailable,
                         "the approved plan at " + request.plan_path + " cannot be read: " +
                             (e.has_cause() ? e.cause : e.message));
  }
  auto plan = parse_json(*text);
  if (!plan.ok())
    return refusal(ReasonCode::provider_unavailable,
                         "the approved plan is not JSON: " + plan.error());

  VELK_ASSIGN(const Operation op, check_approved_plan(*plan, request.plan_digest));
  if (is_software_operation(op))
    return apply_software_plan(op, *plan, request.prefix, request.software_artifacts);

  ApplyInputs inputs;
  inputs.bundle = request.bundle;
  inputs.prefix = request.prefix;
  VELK_ASSIGN(const ApplyOutcome outcome,
              apply_plan(request.target, *plan, request.plan_digest, inputs));
  return apply_result_document(outcome);
}

}  // namespace velk
