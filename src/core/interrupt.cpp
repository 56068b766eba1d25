#include "core/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

namespace velk {
namespace {

constexpr std::array<int, 3> kDeferred = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_signal = 0;
bool g_stopped = false;
std::array<struct sigaction, kDeferred.size()> g_previous{};

extern "C" void record_signal(int signal) {
  if (g_signal == 0) g_signal = signal;
}

}  // namespace

InterruptDeferral::InterruptDeferral() {
  g_signal = 0;
  g_stopped = false;
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
