// Extraction of a gzip-compressed tar archive, streamed: 512-byte header
// blocks and entry data are inflated as they are read, and only headers,
// names and pax data are held in memory.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.h"
#include "software/extract_target.h"
#include "software/gzip_reader.h"

namespace velk {

// Reads tar entries from the started gzip reader into the target until the
// archive ends, then finishes the gzip member.
Status extract_tar(GzipReader& in, ExtractTarget& target);

// Walks the pax records in `data`: fails on a malformed record or on a key
// that would change what is written or where; every other key is ignored.
Status check_pax_records(std::string_view data);

}  // namespace velk
