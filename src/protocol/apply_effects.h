// The changes apply makes inside the journaled change: clearing what the
// scope owns and writing files at their declared modes, all relative to the
// target's descriptor. Private to the protocol folder.
#pragma once

#include <map>
#include <string>

#include "bundle/bundle.h"
#include "core/error.h"
#include "store/store.h"

namespace velk {

using FileMap = std::map<std::string, BundleFileData>;

// Removes every path the change acts on (the owned surfaces, or under
// user_root the recorded paths), sparing the never-touch paths.
Status clear_owned(const PerformContext& context);

// Writes each file through a staging file of its own (created exclusively,
// so no declared file can be clobbered by another's staging) with its
// declared mode (0644 or 0755; nothing else), making its parent directories
// one component at a time. A parent that is a link or a file stops the write
// rather than being followed.
Status write_files(const PerformContext& context, const FileMap& files);

}  // namespace velk
