// A consumer of the provider protocol, as the end-to-end tests play one:
// it speaks only through the binary's JSON documents and the files it
// writes itself (the canonical plan).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bundle/claim.h"
#include "core/json.h"

namespace velk::testing {

inline constexpr char kFarExpiry[] = "2099-12-31T23:59:59.999Z";

// The five bundle flags that name the claim.
std::vector<std::string> bundle_flags(const BundleClaim& claim);

// Runs a provider command that must answer with one JSON line and exit 0.
Json provider_json(const std::vector<std::string>& args);

// plan-operation for `operation` on `target`, plus `extra` flags.
Json plan_request(const std::string& target, const std::string& operation,
                  const std::vector<std::string>& extra = {},
                  const std::string& expires_at = kFarExpiry);

// Stores the envelope's plan canonically at `path` and returns the path.
std::string store_plan(const Json& envelope, const std::string& path);

// apply-operation of the stored plan with the envelope's digest.
Json apply_request(const std::string& target, const std::string& plan_path,
                   const std::string& digest, const std::vector<std::string>& extra = {});

// status --json's target_identity_digest.
std::string status_identity(const std::string& target);

// The reason and detail of a refusal, "" when the document is no refusal.
std::string refusal_of(const Json& document);

}  // namespace velk::testing
