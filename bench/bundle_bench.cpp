// Validation of a full-size bundle (2,000 files, just under the 64 MiB
// ceiling) beside `sha256sum` of the same file, and the peak resident
// memory of `validate-bundle` run by the real binary.
//
// Run: build-bench/bench/bundle_bench   (see bench/README.md)
// `bundle_bench --write-bundle DIR` only writes DIR/bundle.zip and prints
// the five claim flags, one argument a line, for bench/bundle_memory.sh.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "core/fs.h"
#include "support/bundle_writer.h"

namespace {

constexpr int kFiles = 2000;
constexpr size_t kFileSize = 33000;  // 2,000 x 33,000 bytes and the archive's own overhead

velk::BundleClaim write_full_bundle(const std::string& dir) {
  std::map<std::string, velk::testing::FileSpec> files;
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < kFiles; ++i) {
    std::string bytes(kFileSize, '\0');
    for (char& c : bytes) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      c = static_cast<char>(' ' + state % 95);
    }
    char name[48];
    std::snprintf(name, sizeof name, "skills/s%04d/SKILL.md", i);
    files[name] = {std::move(bytes)};
  }
  const velk::testing::BundleParts parts = velk::testing::make_bundle(files);
  files.clear();
  return velk::testing::write_bundle(dir + "/bundle.zip", parts);
}

std::vector<std::string> claim_flags(const velk::BundleClaim& claim) {
  return {"--bundle",          claim.path,          "--bundle-format", claim.format,
          "--bundle-digest",   claim.bundle_digest, "--artifact-digest", claim.artifact_digest,
          "--bundle-size",     std::to_string(claim.size)};
}

struct Data {
  std::string dir;
  velk::BundleClaim claim;

  Data() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/velk-bundle-bench-XXXXXX";
    if (!::mkdtemp(templ.data())) std::abort();
    dir = templ;
    claim = write_full_bundle(dir);
    std::fprintf(stderr, "bundle: %llu bytes, %d files\n",
                 static_cast<unsigned long long>(claim.size), kFiles);
  }
  ~Data() { (void)velk::remove_path(dir); }
};

Data& data() {
  static Data d;
  return d;
}

// Runs a program with its output sent to /dev/null; returns the exit
// status (-1 when it did not exit) and its peak resident memory in KiB.
int run_quietly(const std::vector<std::string>& argv, long* peak_kib) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (::wait4(child, &status, 0, &usage) != child) return -1;
  if (peak_kib) *peak_kib = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_ReadBundle(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state) {
    auto bundle = velk::read_bundle(d.claim, velk::RequestedScope::none);
    if (!bundle.ok()) state.SkipWithError(bundle.error().detail.c_str());
    benchmark::DoNotOptimize(bundle);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.claim.size));
}

// The whole command as a consumer runs it: process start, validation, the
// answer printed. Reports the run's peak resident memory.
void BM_ValidateBundleCommand(benchmark::State& state) {
  const Data& d = data();
  std::vector<std::string> argv = {VELK_BINARY_PATH, "validate-bundle", "--target", d.dir,
                                   "--json"};
  for (auto& a : claim_flags(d.claim)) argv.push_back(a);
  long peak_kib = 0;
  for (auto _ : state)
    if (run_quietly(argv, &peak_kib) != 0) state.SkipWithError("validate-bundle failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.claim.size));
  state.counters["peak_rss_MiB"] = static_cast<double>(peak_kib) / 1024.0;
  state.counters["peak_per_artifact"] =
      static_cast<double>(peak_kib) * 1024.0 / static_cast<double>(d.claim.size);
}

void BM_Sha256sum(benchmark::State& state) {
  const Data& d = data();
  for (auto _ : state)
    if (run_quietly({"/usr/bin/sha256sum", d.claim.path}, nullptr) != 0)
      state.SkipWithError("sha256sum failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.claim.size));
}

BENCHMARK(BM_ReadBundle)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ValidateBundleCommand)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Sha256sum)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-bundle") == 0) {
    for (const auto& a : claim_flags(write_full_bundle(argv[2]))) std::printf("%s\n", a.c_str());
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
