// provider-info: who this provider is, what it speaks and which projection
// profiles it accepts bundles for.
#pragma once

#include "core/error.h"
#include "core/json_fwd.h"

namespace velk {

// The provider-info document, in its fixed member order. Reads nothing.
Result<Json> provider_info_document();

}  // namespace velk
