// Shared by the artifact targets: running one extraction into a fresh
// directory under the scratch directory and checking what it left.
#pragma once

#include <string>

#include "software/artifact.h"

namespace velk::fuzz {

// Extracts `artifact` (a file in the scratch directory) in the given form
// with the limits of an artifact of `byte_length` bytes, then checks: a
// refusal is a state_unavailable error; the destination holds only
// directories and regular files, none with a set-id or sticky bit, and
// within the byte limit; on success as many regular files as the reader
// says it placed; find_entry_point agrees with what is there; and nothing
// but the artifact and the destination is left in the scratch directory.
// The destination is removed with remove_path afterwards.
void extract_and_check(const std::string& artifact, ArtifactForm form, uint64_t byte_length);

}  // namespace velk::fuzz
