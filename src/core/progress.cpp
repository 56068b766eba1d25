#include "core/progress.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace velk {
namespace {

constexpr int64_t kFirstDrawNs = 250'000'000;  // quick commands show nothing
constexpr int64_t kRedrawNs = 100'000'000;     // at most ten times a second
constexpr char kErase[] = "\r\033[K";

std::atomic<bool> g_enabled{false};
std::atomic<int> g_phase{0};
std::atomic<uint64_t> g_files{0};
std::atomic<uint64_t> g_bytes{0};
std::atomic<uint64_t> g_total_files{0};
std::atomic<uint64_t> g_total_bytes{0};
std::atomic<int64_t> g_start_ns{0};
std::atomic<int64_t> g_last_draw_ns{0};
std::atomic<bool> g_drawn{false};
std::mutex g_drawing;

int64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

const char* phase_word(int phase) {
  switch (static_cast<Phase>(phase)) {
    case Phase::none: return "";
    case Phase::measuring: return "measuring";
    case Phase::capturing: return "capturing";
    case Phase::clearing: return "clearing";
    case Phase::writing: return "writing";
    case Phase::restoring: return "restoring";
    case Phase::recovering: return "recovering";
  }
  return "";
}

// Appends to a fixed buffer without allocating (usable in a signal handler).
struct Line {
  char* out;
  size_t size;
  size_t length = 0;
  void text(const char* s) {
    while (*s && length + 1 < size) out[length++] = *s++;
    out[length] = '\0';
  }
  void number(uint64_t n) {
    char digits[24];
    size_t i = sizeof digits;
    digits[--i] = '\0';
    do {
      digits[--i] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n != 0);
    text(digits + i);
  }
  // Bytes as "512 B", "12.3 kB", "4.0 MB", "1.2 GB".
  void bytes(uint64_t n) {
    static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB"};
    if (n < 1000) {
      number(n);
      text(" B");
      return;
    }
    uint64_t tenths = n / 100;  // in tenths of a kB
    size_t unit = 0;
    while (tenths >= 10000 && unit + 1 < std::size(kUnits)) {
      tenths /= 1000;
      ++unit;
    }
    number(tenths / 10);
    text(".");
    number(tenths % 10);
    text(" ");
    text(kUnits[unit]);
  }
};

void draw(bool force) {
  if (!g_enabled.load(std::memory_order_relaxed)) return;
  const int64_t now = now_ns();
  if (now - g_start_ns.load(std::memory_order_relaxed) < kFirstDrawNs) return;
  if (!force && now - g_last_draw_ns.load(std::memory_order_relaxed) < kRedrawNs) return;
  const std::unique_lock<std::mutex> lock(g_drawing, std::try_to_lock);
  if (!lock.owns_lock()) return;
  g_last_draw_ns.store(now, std::memory_order_relaxed);
  char buffer[200];
  Line line{buffer, sizeof buffer};
  line.text(kErase);
  line.text("velk-setup-system: ");
  char words[160];
  if (progress_words(words, sizeof words) == 0) return;
  line.text(words);
  const uint64_t bytes = g_bytes.load(std::memory_order_relaxed);
  const uint64_t total_bytes = g_total_bytes.load(std::memory_order_relaxed);
  if (bytes != 0 || total_bytes != 0) {
    line.text(", ");
    line.bytes(bytes);
    if (total_bytes != 0) {
      line.text(" of ");
      line.bytes(total_bytes);
    }
  }
  (void)!::write(2, buffer, line.length);
  g_drawn.store(true, std::memory_order_relaxed);
}

}  // namespace

void progress_enable_if_terminal() {
  if (!::isatty(2)) return;
  g_start_ns.store(now_ns(), std::memory_order_relaxed);
  g_enabled.store(true, std::memory_order_relaxed);
}

bool progress_enabled() { return g_enabled.load(std::memory_order_relaxed); }

void progress_phase(Phase phase, uint64_t total_files, uint64_t total_bytes) {
  g_files.store(0, std::memory_order_relaxed);
  g_bytes.store(0, std::memory_order_relaxed);
  g_total_files.store(total_files, std::memory_order_relaxed);
  g_total_bytes.store(total_bytes, std::memory_order_relaxed);
  g_phase.store(static_cast<int>(phase), std::memory_order_relaxed);
  if (phase == Phase::none) {
    progress_clear();
    return;
  }
  draw(true);
}

void progress_file(uint64_t bytes) {
  g_files.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(bytes, std::memory_order_relaxed);
  draw(false);
}

void progress_measured(uint64_t bytes) {
  if (g_phase.load(std::memory_order_relaxed) != static_cast<int>(Phase::measuring)) return;
  progress_file(bytes);
}

void progress_clear() {
  if (!g_drawn.exchange(false, std::memory_order_relaxed)) return;
  const std::lock_guard<std::mutex> lock(g_drawing);
  (void)!::write(2, kErase, sizeof kErase - 1);
}

size_t progress_words(char* out, size_t size) {
  Line line{out, size};
  const int phase = g_phase.load(std::memory_order_relaxed);
  if (size > 0) out[0] = '\0';
  if (phase == 0) return 0;
  const uint64_t files = g_files.load(std::memory_order_relaxed);
  const uint64_t total = g_total_files.load(std::memory_order_relaxed);
  line.text(phase_word(phase));
  line.text(", ");
  line.number(files);
  if (total != 0) {
    line.text(" of ");
    line.number(total);
    line.text(" files done");
  } else {
    line.text(files == 1 ? " file so far" : " files so far");
  }
  return line.length;
}

}  // namespace velk
