// Turning a checked software artifact into files inside an empty staging
// directory. The program form is copied as one executable; gzip-compressed
// tar and zip archives are streamed entry by entry. Extraction writes
// regular files and directories and nothing else, never follows a link, and
// never writes outside the destination. Every failure stops at once and
// leaves the partly filled destination for the caller to clear; failures are
// state_unavailable errors whose message is the reader's own, with a failed
// system call attached as the cause.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/dir.h"
#include "core/error.h"
#include "software/release_table.h"

namespace velk {

struct ExtractionLimits {
  uint64_t max_entries = 0;
  uint64_t max_bytes = 0;
};

// 65536 entries; max(16 x byte_length, 64 MiB) bytes, and 64 MiB when
// 16 x byte_length does not fit in 64 bits.
ExtractionLimits extraction_limits(uint64_t byte_length);

// Fills `destination` (an existing, empty directory, held open) from the
// artifact; what is made there takes the directory's owner. `byte_length`
// is the planned size, which sets the limits. Returns the number of regular
// files placed (1 for the program form).
Result<uint64_t> extract_artifact(const std::string& artifact, ArtifactForm form,
                                  const Dir& destination, uint64_t byte_length);

// After extraction, the entry point must name a regular file in the
// destination, reached without following a link.
Status find_entry_point(const Dir& destination, std::string_view entry_point);

}  // namespace velk
