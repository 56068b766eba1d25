// Requests to stop (SIGINT, SIGTERM, SIGHUP) that arrive while a change is
// under way are held, not obeyed at once: the change stops at its next safe
// boundary, or finishes when it is past the point of no return, and the
// process then ends by the same signal, as a shell or a supervisor expects.
#pragma once

#include <string>

#include "core/error.h"

namespace velk {

// While one is alive, SIGINT, SIGTERM and SIGHUP only record that they
// arrived (the first one wins; system calls resume). Its end puts back the
// actions that were in place. A deferral does not nest.
class InterruptDeferral {
 public:
  InterruptDeferral();
  ~InterruptDeferral();
  InterruptDeferral(const InterruptDeferral&) = delete;
  InterruptDeferral& operator=(const InterruptDeferral&) = delete;
};

// The signal recorded during the last deferral, or 0.
int interrupt_signal();
bool interrupt_requested();

// The error of a change that obeys the request at a boundary where nothing
// in the target has changed yet: "interrupted by {signal} before the change
// began; nothing was changed" (stale). Making it notes the stop, which
// stopped_before_change reports until the next deferral begins.
Error interrupted_before_change();
bool stopped_before_change();

// The change is past its point of no return (its journal is published):
// the first request to stop is then answered at once, when standard error
// is a terminal, with a line saying that the change is being finished and
// how far it is; the change is finished. A second request stops it at its
// next boundary instead, leaving the journal for recovery. `target` names
// the target in the message that says so.
void interrupt_past_journal(const std::string& target);
// A second request arrived after the journal: stop at this boundary.
bool stop_requested();
// The error of a change stopped that way: "stopped by a second {signal}
// part way through the change; its journal is kept, and  velk-setup-system
// recover-operation --target {target} --json  puts the target back as it
// was" (recovery_required). Making it notes the stop, which
// stopped_for_recovery reports until the next deferral begins.
Error stopped_for_recovery_error();
bool stopped_for_recovery();

// "SIGINT", "SIGTERM", "SIGHUP", or "signal {n}".
std::string signal_name(int signal);

// Restores the signal's default action, unblocks it and raises it; exits
// with 128 + signal should the process survive that.
[[noreturn]] void end_by_signal(int signal);

}  // namespace velk
