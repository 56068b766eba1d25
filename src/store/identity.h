// Target identity (the one digest of the owned surfaces) and the link check
// that must pass before a capture.
#pragma once

#include <string>
#include <vector>

#include "core/dir.h"
#include "core/error.h"

namespace velk {


// The identity exclusion list: the control directory name, the state file
// name, then the never-touch paths.
std::vector<std::string> identity_exclusions();

// The identity digest of the owned surfaces of a target, with the identity
// exclusions, measured through the target's descriptor: nothing below it
// is reached through a link.
// With `flush`, what is measured is also made durable: every file and
// directory of the surfaces, and the target itself (for the entries taken
// away at its top). The write path measures what its effects left that way,
// so a change waits for its own writes only.
Result<std::string> target_identity(const Dir& target, const std::vector<std::string>& surfaces,
                                    bool flush = false);

// The owned paths, at any depth, that are symbolic links, sorted as bytes.
Result<std::vector<std::string>> find_owned_links(const Dir& target,
                                                  const std::vector<std::string>& surfaces);

// The refusal of a capture over links (unsupported_native_surface): "a
// backup captures content, and these owned paths are links rather than
// content: {paths}. Nothing has been changed. ..."
Error owned_links_refusal(const std::vector<std::string>& links);

}  // namespace velk
