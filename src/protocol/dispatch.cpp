#include "protocol/dispatch.h"

namespace velk {

ProviderOutcome run_provider_request(const ProviderRequest& request) {
  // No handler is wired in yet; each command says so rather than pretending.
  return ProviderFailure{std::string(provider_command_name(command_of(request))) +
                         " is not available in this build yet"};
}

Json refusal_document(const ProtocolError& refusal) {
  Json document = Json::object();
  document["state"] = "refused";
  document["rejected"] = true;
  document["reason"] = std::string(reason_name(refusal.code));
  document["detail"] = refusal.detail;
  return document;
}

}  // namespace velk
