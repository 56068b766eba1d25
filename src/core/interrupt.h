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

// "SIGINT", "SIGTERM", "SIGHUP", or "signal {n}".
std::string signal_name(int signal);

// Restores the signal's default action, unblocks it and raises it; exits
// with 128 + signal should the process survive that.
[[noreturn]] void end_by_signal(int signal);

}  // namespace velk
