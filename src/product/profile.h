// Projection profiles as the protocol publishes them: the identity object,
// its digest, the published object, the profile checks and the lookup of
// the profile that serves a scope.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_fwd.h"
#include "product/declaration.h"

namespace velk {

// profile_id, component_kinds, projection_kinds, native_namespaces,
// bundle_formats, max_files, max_bytes and, for a scoped profile,
// target_scope.
Json profile_identity(const ProjectionProfile& profile);

// digest_document under "ai-stp:provider-projection:v3" over the identity.
Result<std::string> profile_digest(const ProjectionProfile& profile);

// The published object: profile_id, digest, then the identity members.
Result<Json> profile_object(const ProjectionProfile& profile);

// The checks a declared profile must pass; the message of the first failure.
std::optional<std::string> check_profile(const ProjectionProfile& profile);
// Checks every declared profile, scoped ones against each other as well.
std::optional<std::string> check_declared_profiles();

// The main profile for the global scope (nullopt), the user-root profile for
// user_root, none for project.
const ProjectionProfile* profile_for_scope(std::optional<TargetScope> scope);

// The scoped profiles of this build, in declaration order.
std::vector<const ProjectionProfile*> scoped_profiles();

}  // namespace velk
