// validate-bundle: checks a bundle against the exact claim that names it
// and answers with the claim and the outcome. Reads the bundle file only.
#pragma once

#include "core/json_fwd.h"
#include "protocol/request.h"

namespace velk {

// The claim echo (bundle_format, bundle_digest, artifact_digest,
// bundle_size), then `valid`, or `rejected`, `reason` and `detail`. A
// rejected bundle is an answer, not a refusal: the document is the same
// shape either way.
Json validate_bundle_document(const ValidateBundleRequest& request);

}  // namespace velk
