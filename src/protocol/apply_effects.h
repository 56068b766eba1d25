// The changes apply makes inside the journaled change: clearing what the
// scope owns and writing files at their declared modes. Private to the
// protocol folder.
#pragma once

#include <map>
#include <string>

#include "bundle/bundle.h"
#include "core/error.h"
#include "store/perform.h"

namespace velk {

using FileMap = std::map<std::string, BundleFileData>;

// Removes every path the change acts on (the owned surfaces, or under
// user_root the recorded paths), sparing the never-touch paths.
Status clear_owned(const PerformContext& context);

// Writes each file with write_file_atomically, creating its parent
// directories, then gives it its declared mode (0644 or 0755; nothing
// else). A parent inside the target that is not a directory (a link, a
// file) stops the write rather than being followed.
Status write_files(const std::string& target, const FileMap& files);

}  // namespace velk
