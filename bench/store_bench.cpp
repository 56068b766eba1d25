// The target identity and a backup capture of a target holding 1 GiB in
// 10,000 files, each beside the standard tool doing the same work in the
// same run: `openssl dgst -sha256` over the same files, and `cp -a` of the
// owned surfaces. The data lives in a temporary directory created on first
// use and removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "core/fs.h"
#include "core/fs_at.h"
#include "product/declaration.h"
#include "store/identity.h"
#include "store/pool.h"

namespace {

constexpr int kDirectories = 100;
constexpr int kFilesPerDirectory = 100;
constexpr size_t kTotalBytes = size_t{1} << 30;
constexpr size_t kFileBytes = kTotalBytes / (kDirectories * kFilesPerDirectory);
// The directory surfaces the files are spread over.
const char* const kSurfaces[] = {"skills", "agents", "plugins", "hooks"};

class Workspace {
 public:
  Workspace() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velk-store-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~Workspace() { (void)velk::remove_path(root_); }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

Workspace& workspace() {
  static Workspace w;
  return w;
}

void write_file(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Pseudo-random bytes, different in every file, so nothing can take a
// shortcut on zeros or on repeated content.
void fill_noise(std::string& bytes, uint64_t seed) {
  uint64_t x = seed * 0x9e3779b97f4a7c15u + 1;
  for (char& c : bytes) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
}

const std::string& target() {
  static const std::string path = [] {
    const std::string root = workspace().root() + "/target";
    if (::mkdir(root.c_str(), 0755) != 0) std::abort();
    write_file(root + "/AGENTS.md", "be brief\n");
    write_file(root + "/config.toml", "model = \"m\"\n");
    std::string bytes(kFileBytes, '\0');
    for (int d = 0; d < kDirectories; ++d) {
      const std::string dir = root + "/" + kSurfaces[d % 4] + "/d" + std::to_string(d);
      if (velk::create_directories(dir) != 0) std::abort();
      for (int f = 0; f < kFilesPerDirectory; ++f) {
        fill_noise(bytes, static_cast<uint64_t>(d * kFilesPerDirectory + f));
        write_file(dir + "/f" + std::to_string(f), bytes);
      }
    }
    return root;
  }();
  return path;
}

bool run(benchmark::State& state, const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  state.SkipWithError(("failed: " + command).c_str());
  return false;
}

void BM_TargetIdentity1GiB(benchmark::State& state) {
  const std::string& t = target();
  const auto surfaces = velk::declaration().owned_paths();
  const velk::Dir held = *velk::Dir::open_root(t);
  (void)velk::target_identity(held, surfaces);  // warm the page cache
  for (auto _ : state) {
    auto identity = velk::target_identity(held, surfaces);
    if (!identity.ok()) state.SkipWithError(identity.error().full().c_str());
    benchmark::DoNotOptimize(identity);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotalBytes));
}
BENCHMARK(BM_TargetIdentity1GiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same files through `openssl dgst -sha256`, batched by xargs.
void BM_OpensslDgst1GiB(benchmark::State& state) {
  const std::string command = "cd '" + target() +
                              "' && find AGENTS.md config.toml skills agents plugins hooks "
                              "-type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null";
  if (!run(state, command)) return;
  for (auto _ : state)
    if (!run(state, command)) break;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotalBytes));
}
BENCHMARK(BM_OpensslDgst1GiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Capture1GiB(benchmark::State& state) {
  const std::string& t = target();
  const std::string pool_path = workspace().root() + "/pool";
  if (velk::create_directories(pool_path) != 0) std::abort();
  const velk::BackupPool pool{pool_path, 10, *velk::Dir::open_root(pool_path)};
  const velk::Dir held = *velk::Dir::open_root(t);
  const auto surfaces = velk::declaration().owned_paths();
  const velk::CaptureRequest request{"install", "bench", "", {}, {}};
  for (auto _ : state) {
    auto slot = velk::capture(pool, held, surfaces, request);
    if (!slot.ok()) {
      state.SkipWithError(slot.error().full().c_str());
      break;
    }
    state.PauseTiming();
    (void)velk::remove_path(pool_path + "/" + *slot);
    ::sync();  // the next copy starts with no write-back pending
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotalBytes));
}
BENCHMARK(BM_Capture1GiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CpArchive1GiB(benchmark::State& state) {
  const std::string& t = target();
  const std::string copy = workspace().root() + "/cp-copy";
  const std::string command = "mkdir -p '" + copy + "' && cd '" + t +
                              "' && cp -a AGENTS.md config.toml skills agents plugins hooks '" +
                              copy + "/'";
  for (auto _ : state) {
    if (!run(state, command)) break;
    state.PauseTiming();
    (void)velk::remove_path(copy);
    ::sync();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotalBytes));
}
BENCHMARK(BM_CpArchive1GiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// How to make a fresh copy durable: the ways a capture could flush its
// payload before the slot's record is written, each timed with the copy.
// range(0) is MiB of unrelated dirty data another writer leaves on the same
// file system just before the copy (a build, a download): a syncfs must
// write it too, a per-file flush does not.
enum Flush { kNone, kSyncfs, kFsyncEach, kWritebackThenFsync };

int flush_tree(int dir_fd) {
  auto listed = velk::list_directory_at(dir_fd, "payload");
  if (!listed.ok()) return EIO;
  for (const std::string& name : *listed) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (S_ISDIR(st.st_mode)) {
      velk::Fd child(velk::open_directory_at(dir_fd, name));
      if (child.get() < 0) return errno;
      if (const int e = flush_tree(child.get()); e != 0) return e;
      continue;
    }
    velk::Fd file(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0 || ::fsync(file.get()) != 0) return errno;
  }
  return ::fsync(dir_fd) == 0 ? 0 : errno;
}

void leave_dirty(size_t mib) {
  if (mib == 0) return;
  std::string chunk(size_t{1} << 20, '\0');
  fill_noise(chunk, 77);
  const int fd = ::open((workspace().root() + "/neighbour").c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  for (size_t i = 0; i < mib; ++i)
    if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) std::abort();
  ::close(fd);
}

void BM_CaptureFlush1GiB(benchmark::State& state, Flush flush) {
  const std::string& t = target();
  const std::string copy = workspace().root() + "/flush-copy";
  velk::TreeCopyHooks hooks;
  if (flush == kFsyncEach || flush == kWritebackThenFsync)
    hooks.after_file = [flush](int dir_fd, const std::string& name,
                               const std::string&) -> velk::Status {
      velk::Fd file(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (file.get() < 0) std::abort();
      if (flush == kFsyncEach) {
        if (::fsync(file.get()) != 0) std::abort();
      } else {
        (void)::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
      }
      return {};
    };
  for (auto _ : state) {
    state.PauseTiming();
    leave_dirty(static_cast<size_t>(state.range(0)));
    state.ResumeTiming();
    if (::mkdir(copy.c_str(), 0755) != 0) std::abort();
    velk::Fd from(velk::open_directory(t));
    velk::Fd to(velk::open_directory(copy));
    for (const char* surface : kSurfaces) {
      velk::Fd source(velk::open_directory_at(from.get(), surface));
      if (::mkdirat(to.get(), surface, 0755) != 0) std::abort();
      velk::Fd made(velk::open_directory_at(to.get(), surface));
      auto copied = velk::copy_tree_at(source.get(), surface, made.get(), surface, hooks);
      if (!copied.ok()) std::abort();
    }
    if (flush == kSyncfs && ::syncfs(to.get()) != 0) std::abort();
    if (flush == kWritebackThenFsync && flush_tree(to.get()) != 0) std::abort();
    if (flush == kFsyncEach && ::fsync(to.get()) != 0) std::abort();
    state.PauseTiming();
    (void)velk::remove_path(copy);
    ::sync();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotalBytes));
}
BENCHMARK_CAPTURE(BM_CaptureFlush1GiB, none, kNone)->Arg(0)->Arg(1024)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CaptureFlush1GiB, syncfs, kSyncfs)->Arg(0)->Arg(1024)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CaptureFlush1GiB, fsync_each, kFsyncEach)->Arg(0)->Arg(1024)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CaptureFlush1GiB, writeback_then_fsync, kWritebackThenFsync)->Arg(0)->Arg(1024)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
