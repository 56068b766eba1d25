// Extraction of a 1 GiB (inflated) tar.gz: this program's reader beside
// `tar -xzf` of the same file, and the reader's peak resident memory.
//
// Run: build-bench/bench/extract_bench   (see bench/README.md)
// The data is made once per run in a temporary directory and removed at exit.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/fs.h"
#include "software/software.h"

namespace {

constexpr int kFiles = 64;
constexpr size_t kFileSize = 16u << 20;  // 64 x 16 MiB = 1 GiB inflated

struct Data {
  std::string dir;
  std::string archive;
  uint64_t archive_size = 0;

  Data() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/velk-extract-bench-XXXXXX";
    if (!::mkdtemp(templ.data())) std::abort();
    dir = templ;
    archive = dir + "/data.tgz";
    make_tree(dir + "/tree");
    // Level 6 is what `tar -czf` uses; the text compresses about 3:1, well
    // inside the 16x inflation limit.
    const std::string command = "tar -C '" + dir + "/tree' -cf - . | gzip -6 > '" + archive + "'";
    if (std::system(command.c_str()) != 0) std::abort();
    (void)velk::remove_path(dir + "/tree");
    struct stat st;
    if (::stat(archive.c_str(), &st) != 0) std::abort();
    archive_size = static_cast<uint64_t>(st.st_size);
    std::fprintf(stderr, "archive: %llu bytes for %zu inflated\n",
                 static_cast<unsigned long long>(archive_size), kFiles * kFileSize);
  }
  ~Data() { (void)velk::remove_path(dir); }

  // Words drawn from a small vocabulary by a fixed generator: text that
  // compresses like source code or documentation, not like zeros.
  static void make_tree(const std::string& tree) {
    static const char* const kWords[] = {
        "velk ", "build ", "setup ", "system ", "provider ", "target ", "archive ", "entry ",
        "digest ", "release ", "version ", "prefix ", "install ", "remove ", "plan ", "apply ",
        "0 ", "1 ", "2 ", "3 ", "4 ", "5 ", "6 ", "7 ", "8 ", "9 ", "{ ", "} ", "( ", ") ",
        "; ", "\n"};
    if (velk::create_directories(tree + "/data") != 0) std::abort();
    std::vector<char> buffer(kFileSize);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int f = 0; f < kFiles; ++f) {
      size_t at = 0;
      while (at < kFileSize) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const char* word = kWords[state % (sizeof kWords / sizeof kWords[0])];
        for (; *word && at < kFileSize; ++word) buffer[at++] = *word;
        // Some noise keeps gzip from finding long repeats.
        if ((state >> 40) % 7 == 0 && at < kFileSize) buffer[at++] = static_cast<char>('a' + (state >> 50) % 26);
      }
      const std::string path = tree + "/data/part-" + std::to_string(f) + ".txt";
      FILE* out = std::fopen(path.c_str(), "wb");
      if (!out || std::fwrite(buffer.data(), 1, buffer.size(), out) != buffer.size()) std::abort();
      std::fclose(out);
    }
  }
};

Data& data() {
  static Data d;
  return d;
}

std::string fresh_destination() {
  const std::string dest = data().dir + "/dest";
  (void)velk::remove_path(dest);
  if (velk::create_directories(dest) != 0) std::abort();
  return dest;
}

void BM_VelkExtract(benchmark::State& state) {
  Data& d = data();
  for (auto _ : state) {
    state.PauseTiming();
    const std::string dest = fresh_destination();
    ::sync();
    state.ResumeTiming();
    auto files = velk::extract_artifact(d.archive, velk::ArtifactForm::tar_gzip,
                                        *velk::Dir::open_root(dest), d.archive_size);
    if (!files.ok()) state.SkipWithError(files.error().full().c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFiles * kFileSize));
}

// GNU tar with gzip in a second process, as a user would run it; it does not
// flush each file to storage the way extraction here does, so the flush is
// timed after it for a like-for-like figure.
void BM_TarXzf(benchmark::State& state) {
  Data& d = data();
  for (auto _ : state) {
    state.PauseTiming();
    const std::string dest = fresh_destination();
    ::sync();
    state.ResumeTiming();
    const std::string command = "tar -xzf '" + d.archive + "' -C '" + dest + "'";
    if (std::system(command.c_str()) != 0) state.SkipWithError("tar -xzf failed");
    if (state.range(0) == 1) ::sync();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFiles * kFileSize));
}

// Peak resident memory of one extraction in a process of its own.
void BM_VelkExtractPeakMemory(benchmark::State& state) {
  Data& d = data();
  long peak_kib = 0;
  for (auto _ : state) {
    const std::string dest = fresh_destination();
    const pid_t child = ::fork();
    if (child == 0) {
      ::execl("/proc/self/exe", "extract_bench", "--extract-once", d.archive.c_str(),
              dest.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      state.SkipWithError("extraction in a child failed");
    peak_kib = usage.ru_maxrss;
  }
  state.counters["peak_rss_MiB"] = static_cast<double>(peak_kib) / 1024.0;
}

BENCHMARK(BM_VelkExtract)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TarXzf)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_VelkExtractPeakMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The child of the memory benchmark: one extraction and nothing else.
int extract_once(const char* archive, const char* dest) {
  struct stat st;
  if (::stat(archive, &st) != 0) return 1;
  const auto held = velk::Dir::open_root(dest);
  if (!held.ok()) return 1;
  auto files = velk::extract_artifact(archive, velk::ArtifactForm::tar_gzip, *held,
                                      static_cast<uint64_t>(st.st_size));
  if (!files.ok()) {
    std::fprintf(stderr, "%s\n", files.error().full().c_str());
    return 1;
  }
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  std::fprintf(stderr, "extracted %llu files; peak resident memory %ld KiB\n",
               static_cast<unsigned long long>(*files), usage.ru_maxrss);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--extract-once") == 0)
    return extract_once(argv[2], argv[3]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
