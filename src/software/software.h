// The software lifecycle's public face: the pinned release table, the
// artifact readers, the program directory with the software operations and
// their plans, and launching the installed product.
#pragma once

#include "software/artifact.h"       // IWYU pragma: export
#include "software/launch.h"         // IWYU pragma: export
#include "software/prefix_start.h"   // IWYU pragma: export
#include "software/program_dir.h"    // IWYU pragma: export
#include "software/release_table.h"  // IWYU pragma: export
#include "software/software_apply.h" // IWYU pragma: export
#include "software/software_plan.h"  // IWYU pragma: export
