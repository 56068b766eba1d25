// The software lifecycle's public face: the pinned release table and the
// artifact readers.
#pragma once

#include "software/artifact.h"       // IWYU pragma: export
#include "software/release_table.h"  // IWYU pragma: export
