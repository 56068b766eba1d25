// Progress of long work, for a person at a terminal: when standard error is
// a terminal (and only then), the phase and the files and bytes done so far
// (of the total, when it is known) are drawn on one line of standard error,
// redrawn in place at most ten times a second from a quarter of a second
// into the command, and erased when the command ends, so that what the
// command prints is unchanged. Pipes and files see nothing of it.
#pragma once

#include <cstdint>
#include <string>

namespace velk {

enum class Phase { none, measuring, capturing, clearing, writing, restoring, recovering };

// Draws progress from here on when standard error is a terminal.
void progress_enable_if_terminal();
bool progress_enabled();

// The work now under way, with its totals when known (0: unknown). The
// counts start again at zero.
void progress_phase(Phase phase, uint64_t total_files = 0, uint64_t total_bytes = 0);
// One more file of `bytes` done in the current phase.
void progress_file(uint64_t bytes);
// One more file measured: counted only while measuring is the phase (the
// identity is also measured beside a capture, which is what is shown then).
void progress_measured(uint64_t bytes);
// Erases the progress line, if one is drawn.
void progress_clear();

// How far the current phase is, in words ("writing, 3 of 15 files done",
// "restoring, 1234 files so far"), or "" with no phase. Async-signal-safe:
// it writes into `out` (at most `size` bytes, NUL-terminated) and returns
// the length.
size_t progress_words(char* out, size_t size);

}  // namespace velk
