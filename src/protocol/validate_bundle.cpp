#include "protocol/validate_bundle.h"

#include <string>

#include "bundle/bundle.h"
#include "core/json.h"

namespace velk {

Json validate_bundle_document(const ValidateBundleRequest& request) {
  const BundleClaim& claim = request.claim;
  Json document = Json::object();
  document["bundle_format"] = claim.format;
  document["bundle_digest"] = claim.bundle_digest;
  document["artifact_digest"] = claim.artifact_digest;
  document["bundle_size"] = claim.size;
  // No requested scope: surfaces and kinds are judged as for an operation
  // that names none, whatever scope the caller has in mind.
  const auto bundle = read_bundle(claim, RequestedScope::none);
  if (bundle.ok()) {
    document["valid"] = true;
  } else {
    document["rejected"] = true;
    document["reason"] = std::string(reason_name(bundle.error().code));
    document["detail"] = bundle.error().message;
  }
  return document;
}

}  // namespace velk
