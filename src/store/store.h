// The target store's public face: the validated target, the control
// directory with its backup pool, the target lock, the state file, target
// identity and tree copy, and the backup pool. The one write path (the
// journal and perform) builds on these.
#pragma once

#include "store/identity.h"
#include "store/pool.h"
#include "store/state.h"
#include "store/target.h"
