// Installing a full-size bundle (2,000 files, just under 64 MiB) over the
// wire onto a target that already holds a 1 GiB setup, beside what a plain
// copy of that setup costs: `cp -a` of it plus one `sha256sum` pass over
// the copy. The install captures the old setup into a backup slot, measures
// the target before and after, clears the owned surfaces and writes the
// bundle's files, each flushed; the copy and the hash are the floor of the
// first two of those.
//
// Run: build-bench/bench/install_bench   (see bench/README.md)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace {

using velk::bench::run_quietly;
using velk::bench::run_shell;

constexpr int kSetupFiles = 1024;
constexpr size_t kSetupFileSize = 1 << 20;  // 1,024 files of 1 MiB: 1 GiB

struct Data {
  velk::bench::ScratchDir scratch{"velk-install-bench"};
  std::string dir = scratch.path;
  std::string setup = dir + "/setup";  // the 1 GiB setup, kept as the master copy
  velk::BundleClaim claim = velk::bench::write_full_bundle(dir);

  Data() {
    uint64_t state = 0xD1B54A32D192ED03ull;
    const char* surfaces[] = {"skills", "agents", "plugins", "hooks"};
    for (int i = 0; i < kSetupFiles; ++i) {
      char name[96];
      std::snprintf(name, sizeof name, "%s/set%03d/file%04d.md", surfaces[i % 4], i / 64, i);
      velk::testing::write_text(setup + "/" + name,
                                velk::bench::pseudo_random_text(kSetupFileSize, state));
    }
    velk::testing::write_text(setup + "/AGENTS.md", "# the setup being replaced\n");
    velk::testing::write_text(setup + "/config.toml", "[features]\nweb_fetch = false\n");
    std::fprintf(stderr, "setup: %d files of %zu bytes; bundle: %llu bytes\n", kSetupFiles,
                 kSetupFileSize, static_cast<unsigned long long>(claim.size));
  }
};

Data& data() {
  static Data d;
  return d;
}

// A target holding a copy of the setup, with nothing of the provider's yet.
void fresh_target(const Data& d, const std::string& target) {
  if (run_shell("rm -rf '" + target + "' && cp -a '" + d.setup + "' '" + target + "'") != 0)
    std::abort();
}

void BM_InstallBundleOverSetup(benchmark::State& state) {
  const Data& d = data();
  const std::string target = d.dir + "/target";
  const std::string envelope_path = d.dir + "/envelope.json";
  const std::string plan_path = d.dir + "/plan.json";
  for (auto _ : state) {
    state.PauseTiming();
    fresh_target(d, target);
    std::vector<std::string> plan = {VELK_BINARY_PATH, "plan-operation", "--target", target,
                                     "--json", "--operation", "install", "--operation-id",
                                     "bench", "--expires-at", "2099-12-31T23:59:59.999Z",
                                     "--provider-release-digest", "bench"};
    for (auto& a : velk::bench::claim_flags(d.claim)) plan.push_back(a);
    if (run_quietly(plan, nullptr, &envelope_path) != 0) std::abort();
    const velk::Json envelope = velk::parse_json(velk::testing::read_text(envelope_path)).value();
    velk::testing::write_text(plan_path, velk::canonical_json(envelope.at("plan")).value());
    std::vector<std::string> apply = {VELK_BINARY_PATH, "apply-operation", "--target", target,
                                      "--json", "--plan", plan_path, "--plan-digest",
                                      envelope.at("plan_digest").get<std::string>(),
                                      "--provider-release-digest", "bench"};
    for (auto& a : velk::bench::claim_flags(d.claim)) apply.push_back(a);
    run_shell("sync");
    state.ResumeTiming();

    if (run_quietly(apply, nullptr, &envelope_path) != 0) state.SkipWithError("apply failed");
    run_shell("sync");  // the copy below pays for its write-back too

    state.PauseTiming();
    if (velk::testing::read_text(envelope_path).find("\"state\":\"verified\"") == std::string::npos)
      state.SkipWithError("the install was refused");
    state.ResumeTiming();
  }
}

void BM_CopyAndHashSetup(benchmark::State& state) {
  const Data& d = data();
  const std::string copy = d.dir + "/copy";
  for (auto _ : state) {
    state.PauseTiming();
    run_shell("rm -rf '" + copy + "' && sync");
    state.ResumeTiming();
    if (run_shell("cp -a '" + d.setup + "' '" + copy + "' && find '" + copy +
                  "' -type f -print0 | xargs -0 sha256sum > /dev/null && sync") != 0)
      state.SkipWithError("cp -a or sha256sum failed");
  }
}

BENCHMARK(BM_InstallBundleOverSetup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CopyAndHashSetup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
