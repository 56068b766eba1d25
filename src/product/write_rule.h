// Whether a path may stand for something this provider writes or removes in
// a target under a scope. Paths found in records on disk (the state file's
// written_paths, the state file a slot keeps, the planned writes of a
// change) and the paths a legacy stamp claims pass this rule before any of
// them reaches a removal or a write.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "product/declaration.h"

namespace velk {

// Why `path` may not be acted on under `scope`, as a clause that follows the
// path in a message ("climbs out of the target"), or nullopt when it may.
// The path must be relative, of non-empty segments that are neither "." nor
// "..", without a backslash, a drive letter or a control character, valid
// UTF-8; it must lie
// inside an owned surface of the scope (under user_root strictly below
// "skills", which other products share); and it must not lie at, below or
// above a never-touch path, compared with case folded.
std::optional<std::string> recorded_path_refusal(std::string_view path,
                                                 std::optional<TargetScope> scope);

}  // namespace velk
