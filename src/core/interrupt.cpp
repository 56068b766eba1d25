#include "core/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "core/progress.h"

namespace velk {
namespace {

constexpr std::array<int, 3> kDeferred = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_past_journal = 0;
volatile sig_atomic_t g_stop_now = 0;
bool g_terminal = false;
bool g_stopped = false;
bool g_stopped_for_recovery = false;
std::string g_target;
std::array<struct sigaction, kDeferred.size()> g_previous{};

// Only async-signal-safe calls: the line is put together in a fixed buffer
// and written with write(2).
void say_finishing() {
  char line[320] = "\r\033[Kvelk-setup-system: finishing the change already under way";
  size_t length = std::strlen(line);
  char words[160];
  if (progress_words(words, sizeof words) != 0) {
    const char* parts[] = {" (", words, ")"};
    for (const char* part : parts)
      for (; *part && length + 1 < sizeof line; ++part) line[length++] = *part;
  }
  const char tail[] = "; press Ctrl-C again to stop it part way and leave it for recovery\n";
  for (const char* c = tail; *c && length + 1 < sizeof line; ++c) line[length++] = *c;
  (void)!::write(2, line, length);
}

extern "C" void record_signal(int signal) {
  if (g_signal == 0) {
    g_signal = signal;
    if (g_past_journal && g_terminal) say_finishing();
    return;
  }
  if (g_past_journal) g_stop_now = 1;
}

}  // namespace

InterruptDeferral::InterruptDeferral() {
  g_signal = 0;
  g_past_journal = 0;
  g_stop_now = 0;
  g_terminal = ::isatty(2) == 1;
  g_stopped = false;
  g_stopped_for_recovery = false;
  struct sigaction action{};
  action.sa_handler = record_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : kDeferred) sigaddset(&action.sa_mask, s);
  for (size_t i = 0; i < kDeferred.size(); ++i)
    (void)::sigaction(kDeferred[i], &action, &g_previous[i]);
}

InterruptDeferral::~InterruptDeferral() {
  for (size_t i = 0; i < kDeferred.size(); ++i)
    (void)::sigaction(kDeferred[i], &g_previous[i], nullptr);
}

int interrupt_signal() { return g_signal; }
bool interrupt_requested() { return g_signal != 0; }

Error interrupted_before_change() {
  g_stopped = true;
  return make_error(ErrorKind::stale, "interrupted by " + signal_name(interrupt_signal()) +
                                          " before the change began; nothing was changed");
}

bool stopped_before_change() { return g_stopped; }

void interrupt_past_journal(const std::string& target) {
  g_target = target;
  g_past_journal = 1;
  // A request that came just before the journal was published is the
  // first one after it: the change is finished.
  if (g_signal != 0 && g_terminal) say_finishing();
}

bool stop_requested() { return g_stop_now != 0; }

Error stopped_for_recovery_error() {
  g_stopped_for_recovery = true;
  return make_error(ErrorKind::recovery_required,
                    "stopped by a second " + signal_name(interrupt_signal()) +
                        " part way through the change; its journal is kept, and  "
                        "velk-setup-system recover-operation --target " + g_target +
                        " --json  puts the target back as it was");
}

bool stopped_for_recovery() { return g_stopped_for_recovery; }

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal);
  }
}

void end_by_signal(int signal) {
  struct sigaction action{};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  (void)::sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  (void)::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  (void)::raise(signal);
  ::_exit(128 + signal);
}

}  // namespace velk
