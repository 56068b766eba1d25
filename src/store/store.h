// The target store's public face, the one header other folders include: the
// validated target, the control directory with its backup pool, the target
// lock, the state file, target identity and tree copy, the backup pool, the
// one write path (the journal, perform and recovery) and the target report.
#pragma once

#include "store/identity.h"
#include "store/journal.h"
#include "store/perform.h"
#include "store/pool.h"
#include "store/recover.h"
#include "store/report.h"
#include "store/state.h"
#include "store/target.h"
