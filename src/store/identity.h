// Target identity (the one digest of the owned surfaces), the link check
// that must pass before a capture, and tree copy.
#pragma once

#include <string>
#include <vector>

#include "core/error.h"

namespace velk {


// The identity exclusion list: the control directory name, the state file
// name, then the never-touch paths.
std::vector<std::string> identity_exclusions();

// The identity digest of the owned surfaces of a target, with the identity
// exclusions. "{target} is not a directory" (invalid_target) when the target
// is not a directory.
Result<std::string> target_identity(const std::string& target,
                                    const std::vector<std::string>& surfaces);

// The owned paths, at any depth, that are symbolic links, sorted as bytes.
Result<std::vector<std::string>> find_owned_links(const std::string& target,
                                                  const std::vector<std::string>& surfaces);

// The refusal of a capture over links (unsupported_native_surface): "a
// backup captures content, and these owned paths are links rather than
// content: {paths}. Nothing has been changed. ..."
Error owned_links_refusal(const std::vector<std::string>& links);

// Copies the whole tree of `source` into `destination` (created with its
// parents), relative to descriptors (copy_tree_at of core/fs_at.h): files
// are cloned where the file system can, copied otherwise; permission bits
// travel; links refuse the copy; FIFOs, sockets and devices are refused
// without blocking.
Status copy_tree(const std::string& source, const std::string& destination);

}  // namespace velk
