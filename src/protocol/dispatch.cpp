#include "protocol/dispatch.h"

#include "product/profile.h"
#include "protocol/apply_operation.h"
#include "protocol/plan_operation.h"
#include "protocol/provider_info.h"
#include "protocol/recover_operation.h"
#include "protocol/status.h"
#include "protocol/validate_bundle.h"
#include "software/software.h"

namespace velk {

namespace {

// An error becomes a refusal here, and only here: its code, set where it
// was made, and its message (the cause is for people, not consumers).
ProviderOutcome answer(Result<Json> result) {
  if (!result.ok()) return std::move(result).error();
  return std::move(result).value();
}

// The commands that publish or check against a projection profile cannot
// answer for a declaration that fails its own checks.
bool needs_profiles(ProviderCommand command) {
  switch (command) {
    case ProviderCommand::provider_info:
    case ProviderCommand::validate_bundle:
    case ProviderCommand::plan_operation:
    case ProviderCommand::apply_operation:
    case ProviderCommand::status: return true;
    case ProviderCommand::recover_operation:
    case ProviderCommand::launch: return false;
  }
  std::abort();
}

ProviderOutcome handle(const ProviderInfoRequest&) { return answer(provider_info_document()); }
ProviderOutcome handle(const StatusRequest& request) { return answer(status_document(request)); }
ProviderOutcome handle(const RecoverOperationRequest& request) {
  return answer(recover_operation(request));
}
ProviderOutcome handle(const ValidateBundleRequest& request) {
  return validate_bundle_document(request);
}
ProviderOutcome handle(const PlanOperationRequest& request) {
  return answer(plan_operation(request));
}
ProviderOutcome handle(const ApplyOperationRequest& request) {
  return answer(apply_operation(request));
}
// Returns only when the product could not be started: on success the process
// has become the product.
ProviderOutcome handle(const LaunchRequest& request) {
  return launch_installed(request.prefix, request.target, request.args);
}

}  // namespace

ProviderOutcome run_provider_request(const ProviderRequest& request) {
  if (needs_profiles(command_of(request))) {
    if (const auto invalid = check_declared_profiles())
      return ProviderFailure{"provider declaration is invalid: " + *invalid};
  }
  return std::visit([](const auto& r) { return handle(r); }, request);
}

Json refusal_document(const Error& refusal) {
  Json document = Json::object();
  document["state"] = "refused";
  document["rejected"] = true;
  document["reason"] = std::string(reason_name(refusal.code));
  document["detail"] = refusal.message;
  return document;
}

}  // namespace velk
