// Provider facts: the identity constants of this build, the protocol kit
// identity compiled into it, and the build digest derived from them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/json_fwd.h"

namespace velk {

inline constexpr uint32_t kProtocolVersion = 3;

// The identity document of the protocol kit this provider was built against,
// pretty-printed JSON exactly as shipped with the kit.
std::string_view kit_identity_text();

// The facts the build digest covers: provider_id, provider_version,
// protocol_version, harness_id and kit_aggregate_digest (null when the kit
// identity names none).
Json provider_facts(const Json& kit_aggregate_digest);

// SHA-256 of the canonical facts built from the given kit identity text.
// "the vendored kit identity is unreadable: {parser error}"
// (state_unavailable) when the text is not a JSON object.
Result<std::string> build_digest_from(std::string_view kit_identity);

// The build digest of this build, from the compiled-in kit identity.
Result<std::string> provider_build_digest();

}  // namespace velk
