// Extraction of a zip archive: the end record is found in the file's tail,
// then the central directory is walked entry by entry, and each entry is read
// from its local header, stored or inflated, straight into its file.
#pragma once

#include "core/error.h"
#include "software/extract_target.h"

namespace velk {

Status extract_zip(int fd, ExtractTarget& target);

}  // namespace velk
