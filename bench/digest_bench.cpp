// Throughput of the file digest (against SHA-256 over memory, the ceiling)
// and the cost of a tree digest over many small files. The data lives in a
// temporary directory created on first use and removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "core/digest.h"
#include "core/fs.h"

namespace {

constexpr size_t kLargeFileSize = size_t{256} << 20;
constexpr int kTreeDirectories = 100;
constexpr int kFilesPerDirectory = 100;

class Workspace {
 public:
  Workspace() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velk-digest-bench-XXXXXX";
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

void write_file(const std::string& path, const char* data, size_t size, size_t repeat = 1) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  for (size_t r = 0; r < repeat; ++r)
    for (size_t done = 0; done < size;) {
      const ssize_t n = ::write(fd, data + done, size - done);
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  ::close(fd);
}

// Pseudo-random bytes, so nothing below can take a shortcut on zeros.
std::string noise(size_t size) {
  std::string out(size, '\0');
  uint64_t x = 0x9e3779b97f4a7c15u;
  for (char& c : out) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  return out;
}

const std::string& large_file() {
  static const std::string path = [] {
    const std::string p = workspace().root() + "/large";
    const std::string block = noise(size_t{1} << 20);
    write_file(p, block.data(), block.size(), kLargeFileSize / block.size());
    return p;
  }();
  return path;
}

const std::string& small_tree() {
  static const std::string path = [] {
    const std::string root = workspace().root() + "/tree";
    if (::mkdir(root.c_str(), 0755) != 0) std::abort();
    const std::string content = noise(1500);
    for (int d = 0; d < kTreeDirectories; ++d) {
      const std::string dir = root + "/d" + std::to_string(d);
      if (::mkdir(dir.c_str(), 0755) != 0) std::abort();
      for (int f = 0; f < kFilesPerDirectory; ++f)
        write_file(dir + "/f" + std::to_string(f), content.data(), 200 + (f * 37) % 1300);
    }
    return root;
  }();
  return path;
}

void BM_DigestFile256MiB(benchmark::State& state) {
  const std::string& path = large_file();
  (void)velk::digest_file(path);  // warm the page cache
  for (auto _ : state) {
    auto digest = velk::digest_file(path);
    if (!digest.ok()) state.SkipWithError(digest.error().full().c_str());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeFileSize));
}
BENCHMARK(BM_DigestFile256MiB)->Unit(benchmark::kMillisecond);

// The same bytes hashed from memory in 64 KiB updates: what the file digest
// would reach if reading cost nothing.
void BM_Sha256Memory256MiB(benchmark::State& state) {
  const std::string block = noise(size_t{1} << 20);
  for (auto _ : state) {
    velk::Sha256 sha;
    for (size_t i = 0; i < kLargeFileSize / block.size(); ++i)
      for (size_t at = 0; at < block.size(); at += 65536) sha.update(block.data() + at, 65536);
    benchmark::DoNotOptimize(sha.finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeFileSize));
}
BENCHMARK(BM_Sha256Memory256MiB)->Unit(benchmark::kMillisecond);

void BM_DigestTree10000Files(benchmark::State& state) {
  const std::string& root = small_tree();
  (void)velk::digest_tree(root);
  for (auto _ : state) {
    auto digest = velk::digest_tree(root);
    if (!digest.ok()) state.SkipWithError(digest.error().full().c_str());
    benchmark::DoNotOptimize(digest);
  }
  state.SetItemsProcessed(state.iterations() * kTreeDirectories * kFilesPerDirectory);
}
BENCHMARK(BM_DigestTree10000Files)->Unit(benchmark::kMillisecond);

}  // namespace
