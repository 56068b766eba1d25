// Drives the one write path from tests: a plan made against the target as
// it is now, and effects that put a given set of files in place of the
// owned surfaces, as an install does.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "store/perform.h"

namespace velk::testing {

// Relative path -> content; a path ending in ".sh" is written executable.
using Files = std::map<std::string, std::string>;

// A plan for `operation_id` whose expected digest is the target's identity
// measured now under the scope.
PlanFacts plan_now(const std::string& target, const std::string& operation_id,
                   std::optional<TargetScope> scope = std::nullopt);

// Effects that clear what the scope owns (the owned surfaces, or under
// user_root the recorded paths) and write the files, recording them as
// written and `setup` as the setup.
std::function<Result<EffectsOutcome>(const PerformContext&)> write_files_effect(
    Files files, std::optional<std::string> setup = std::nullopt);

// perform with plan_now and write_files_effect.
Result<PerformOutcome> install_files(const std::string& target, const std::string& operation_id,
                                     Files files, std::optional<TargetScope> scope = std::nullopt,
                                     std::function<void(PerformStep)> observer = {});

// The bytes of the target's state file, or nullopt when it has none.
std::optional<std::string> state_bytes(const std::string& target);

// The identity of the target under the scope, as a plan would measure it.
std::string identity_now(const std::string& target,
                         std::optional<TargetScope> scope = std::nullopt);

}  // namespace velk::testing
