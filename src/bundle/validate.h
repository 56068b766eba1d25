// The steps of bundle validation that read_bundle runs in order, one file
// each. Private to this folder.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "bundle/container.h"
#include "bundle/manifest.h"
#include "core/error.h"
#include "product/declaration.h"

namespace velk {



// The profile binding, the adaptations and the closure between adaptations
// and declared files.
Status check_structure(const BundleManifest& manifest);

// Limits and every declared file against the archive. The files' bytes are
// the members' views into the artifact.
Result<std::map<std::string, BundleFileData>> collect_files(
    const BundleManifest& manifest, uint64_t artifact_size, std::vector<BundleMember>& members);

// The binding against the provider's profile for the bound scope, and every
// adaptation's kinds against that profile.
Status check_profile_binding(const BundleManifest& manifest,
                                  std::optional<TargetScope> bound);

// Every file inside a surface owned under the requested scope and clear of
// the paths the product keeps to itself.
Status check_surfaces(const std::map<std::string, BundleFileData>& files,
                           RequestedScope requested);

// Every converted component of a kind implemented under the requested scope.
Status check_component_kinds(const BundleManifest& manifest, RequestedScope requested);

}  // namespace velk
