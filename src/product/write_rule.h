// The one rule that decides whether a path may be written under a scope:
// inside an owned surface of the scope (under user_root strictly below
// "skills", which other products share), and neither at, below nor above a
// never-touch path, compared with case folded, since on a file system that
// ignores case a differently cased path still lands on the product's own
// file. Bundles, catalog setups, the paths read from records and the paths
// an old stamp claims all pass it; each caller words its own refusal. That
// what lands there is a regular file and never a link is each reader's to
// check, where the bytes are read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "product/declaration.h"

namespace velk {

struct WriteRefusal {
  enum class Why {
    outside_surface,    // not inside what the scope owns
    never_touch,        // at or below a never-touch path
    holds_never_touch,  // a file where the product keeps a never-touch path below
  };
  Why why;
  std::string_view never_touch;  // the never-touch path met, for the last two
};

// Why `path` may not be written under `scope`, or nullopt when it may.
std::optional<WriteRefusal> write_refusal(std::string_view path, std::optional<TargetScope> scope);

// For paths read from records: the structure a recorded path must have
// (relative, non-empty segments that are neither "." nor "..", no
// backslash, drive letter or control character, valid UTF-8) and then
// write_refusal, as a clause that follows the path in a message ("climbs
// out of the target"), or nullopt when the path may be acted on.
std::optional<std::string> recorded_path_refusal(std::string_view path,
                                                 std::optional<TargetScope> scope);

}  // namespace velk
