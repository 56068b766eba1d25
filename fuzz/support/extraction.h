#pragma once

#include <string>

#include "software/artifact.h"
#include "support/fuzz_support.h"

namespace velk::fuzz {

// Extracts `artifact` (a file in the scratch directory) with the limits of an
// artifact of `byte_length` bytes. A refusal is a state_unavailable error;
// the destination holds only directories and regular files, none set-id or
// sticky, within the byte limit; on success exactly the files the reader says
// it placed, and find_entry_point agrees with them; nothing but the artifact
// and the destination is left in the scratch directory.
void extract_and_check(const std::string& artifact, ArtifactForm form, uint64_t byte_length);

}  // namespace velk::fuzz
