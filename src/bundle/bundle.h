// Bundles: reading a bundle named by a claim, proving it is the claimed
// one, and validating its manifest, files, identity, profile binding,
// surfaces and component kinds. The public face of this folder.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "bundle/claim.h"
#include "bundle/manifest.h"
#include "core/error.h"
#include "product/declaration.h"

namespace velk {

// The scope an operation asks a bundle to serve. `none` is validate-bundle,
// which checks surfaces and kinds as for an operation that names no scope;
// the others are the scope a plan decided on.
enum class RequestedScope { none, global, project, user_root };

// The scope a plan's bundle is judged under: global when the plan names
// none, otherwise the one it names.
inline RequestedScope requested_scope(std::optional<TargetScope> scope) {
  if (!scope) return RequestedScope::global;
  return *scope == TargetScope::user_root ? RequestedScope::user_root : RequestedScope::project;
}

struct BundleFileData {
  std::string bytes;
  uint32_t mode = 0;  // as declared: 420 or 493
};

struct ValidatedBundle {
  BundleClaim claim;
  BundleManifest manifest;
  std::string setup_stable_id;  // from the passport; empty when it does not parse
  std::string setup_version;
  std::optional<TargetScope> bound_scope;  // nullopt: the global scope
  std::map<std::string, BundleFileData> files;  // keyed by path, byte order
};

// Reads the file the claim names and validates it; the first broken rule is
// the result. Reads nothing else and writes nothing.
Result<ValidatedBundle> read_bundle(const BundleClaim& claim, RequestedScope requested);

}  // namespace velk
