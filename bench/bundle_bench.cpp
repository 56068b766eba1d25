// Validation of a full-size bundle (2,000 files, just under the 64 MiB
// ceiling) beside `sha256sum` of the same file, and the peak resident
// memory of `validate-bundle` run by the real binary.
//
// Run: build-bench/bench/bundle_bench   (see bench/README.md)
// `bundle_bench --write-bundle DIR` only writes DIR/bundle.zip and prints
// the five claim flags, one argument a line, for bench/bundle_memory.sh.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "bundle/bundle.h"

namespace {

using velk::bench::claim_flags;
using velk::bench::kBundleFiles;
using velk::bench::run_quietly;
using velk::bench::write_full_bundle;

struct Data {
  velk::bench::ScratchDir scratch{"velk-bundle-bench"};
  std::string dir = scratch.path;
  velk::BundleClaim claim = write_full_bundle(dir);

  Data() {
    std::fprintf(stderr, "bundle: %llu bytes, %d files\n",
                 static_cast<unsigned long long>(claim.size), kBundleFiles);
  }
};

Data& data() {
  static Data d;
  return d;
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
