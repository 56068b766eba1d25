// apply-operation killed at random leaves the target before, after, or recoverable to before.
#include <algorithm>
#include <chrono>
#include <random>

#include "consumer.h"
#include "store/recover.h"

namespace velk {
namespace {

using namespace velk::testing;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Each file costs flushed writes: many in memory, few enough on a disk for fifty short runs.
int file_count() { return memory_temp_base().empty() ? 150 : 2000; }
constexpr int kRuns = 50;

BundleClaim bundle_of(const std::string& path, const std::string& flavour) {
  std::map<std::string, FileSpec> files;
  files["AGENTS.md"] = {flavour + "\n"};
  for (int i = 0, n = file_count(); i < n - 1; ++i)
    files["skills/s" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".md"] = {
        flavour + " " + std::to_string(i) + "\n"};
  return write_bundle(path, make_bundle(files, std::nullopt, flavour));
}

Words plan_replace(const std::string& target, const BundleClaim& claim, const std::string& file) {
  const Json envelope = plan_request(target, "replace", bundle_flags(claim));
  return apply_words(target, store_plan(envelope, file), envelope.value("plan_digest", ""),
                     bundle_flags(claim));
}

// SIGKILL after `delay` unless it ended first; true when the kill landed.
bool run_and_kill(const Words& args, milliseconds delay) {
  RunOptions options;
  options.timeout = delay;
  return run_velk(args, options).timed_out;
}

TEST(CrashSafety, AKilledApplyLeavesTheTargetWholeOrRecoverable) {
  TempDir side(memory_temp_base());
  const BundleClaim one = bundle_of(side / "one.zip", "one");
  const BundleClaim two = bundle_of(side / "two.zip", "two");

  // Each bundle's identity, and a whole apply's time (the median of three: the disk is shared).
  TempDir reference(memory_temp_base());
  std::map<std::string, const BundleClaim*> identity_of;
  std::vector<Clock::duration> took;
  for (const BundleClaim* claim : {&one, &two, &one, &two}) {
    const Words apply = plan_replace(reference.path(), *claim, side / "plan");
    const auto start = Clock::now();
    ASSERT_FALSE(run_and_kill(apply, milliseconds(60000)));
    if (!identity_of.empty()) took.push_back(Clock::now() - start);
    identity_of[identity_now(reference.path())] = claim;
  }
  std::sort(took.begin(), took.end());
  const auto whole = std::chrono::duration_cast<milliseconds>(took[1]);
  ASSERT_EQ(identity_of.size(), 2u);

  TempDir t(memory_temp_base());
  const std::string control = t / ".velk-setup-system";
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int64_t> moment(0, whole.count());
  int killed = 0, prepared = 0, changed = 0, unchanged = 0;
  for (int run = 0; run < kRuns; ++run) {
    const std::string before = identity_now(t.path());
    const BundleClaim& next = identity_of.count(before) && identity_of[before] == &one ? two : one;
    std::string after;
    for (const auto& [identity, claim] : identity_of)
      if (claim == &next) after = identity;

    killed += run_and_kill(plan_replace(t.path(), next, side / "plan"),
                           milliseconds(moment(random)));

    const auto journal = read_journal(dir_of(control));
    ASSERT_TRUE(journal.ok()) << journal.error().full();
    const std::string observed = identity_now(t.path());
    if (*journal && (*journal)->phase == "prepared") {
      ++prepared;
      const auto recovered = recover(t.path());
      ASSERT_TRUE(recovered.ok()) << recovered.error().full();
      EXPECT_EQ(identity_now(t.path()), before) << "run " << run;
    } else {
      ASSERT_TRUE(observed == before || observed == after) << "run " << run;
      ++(observed == before ? unchanged : changed);
      ASSERT_TRUE(recover(t.path()).ok());  // clears a committed journal or an incomplete slot
      EXPECT_EQ(identity_now(t.path()), observed) << "run " << run;
    }
    EXPECT_FALSE(read_journal(dir_of(control)).value()) << "run " << run;
    const auto state = read_state(dir_of(t.path()));
    ASSERT_TRUE(state.ok());
    if (state->present()) {
      EXPECT_EQ(state->state.target_identity_digest, identity_now(t.path()));
    }
  }
  std::printf("runs %d, killed %d, prepared %d, unchanged %d, fully changed %d, whole apply %lld ms\n",
              kRuns, killed, prepared, unchanged, changed, static_cast<long long>(whole.count()));
  EXPECT_GT(prepared, 0);
}

}  // namespace
}  // namespace velk
