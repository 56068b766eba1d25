// Bundles: reading a bundle named by a claim, proving it is the claimed
// one, and validating its manifest, files, identity, profile binding,
// surfaces and component kinds. The public face of this folder.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
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

// One file to write: its bytes, held by whoever holds the content it came
// in (the bundle's artifact, a setup's files), and its declared mode.
struct BundleFileData {
  std::string_view bytes;
  uint32_t mode = 0;  // as declared: 420 or 493
};

struct ValidatedBundle {
  // The artifact, read once and kept whole: the files' bytes are views into
  // it, so a bundle is held in memory once.
  std::shared_ptr<const void> storage;
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
