// Drives the one write path from tests, as an install does.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "store/perform.h"

namespace velk::testing {

// Relative path -> content; a path ending in ".sh" is written executable.
using Files = std::map<std::string, std::string>;

// A plan whose expected digest is the target's identity now.
PlanFacts plan_now(const std::string& target, const std::string& operation_id,
                   std::optional<TargetScope> scope = std::nullopt);

// Effects that clear what the scope owns and write the files, recording
// them and `setup`.
std::function<Result<EffectsOutcome>(const PerformContext&)> write_files_effect(
    Files files, std::optional<std::string> setup = std::nullopt);

// perform with plan_now and write_files_effect.
Result<PerformOutcome> install_files(const std::string& target, const std::string& operation_id,
                                     Files files, std::optional<TargetScope> scope = std::nullopt,
                                     std::function<void(PerformStep)> observer = {});

// The bytes of the target's state file, or nullopt when it has none.
std::optional<std::string> state_bytes(const std::string& target);

std::string identity_now(const std::string& target,
                         std::optional<TargetScope> scope = std::nullopt);

}  // namespace velk::testing
