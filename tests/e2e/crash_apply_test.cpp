// Crash safety of apply-operation: a change killed at random moments
// leaves the target unchanged, fully changed, or with a prepared journal
// that recovery resolves to the identity before the change.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "core/json.h"
#include "protocol/apply_plan.h"
#include "protocol/plan_operation.h"
#include "store/journal.h"
#include "store/recover.h"
#include "store/state.h"
#include "support/bundle_writer.h"
#include "support/temp_dir.h"
#include "support/write_path.h"

namespace velk {
namespace {

using Clock = std::chrono::steady_clock;
using testing::TempDir;
using testing::identity_now;
using testing::make_bundle;
using testing::write_bundle;
using testing::write_text;

// Every file costs a flushed write (file and directory) in the apply and
// again in a recovery: some milliseconds each on an ordinary disk, nothing
// on a memory-backed one. A large bundle where flushes are free; otherwise
// few enough files that fifty runs stay within a minute. A kill loses no
// written data on either, so both test the same thing.
int file_count() { return testing::memory_temp_base().empty() ? 150 : 2000; }
constexpr int kRuns = 50;

BundleClaim bundle_of(const std::string& path, const std::string& flavour) {
  std::map<std::string, testing::FileSpec> files;
  files["AGENTS.md"] = {flavour + "\n"};
  for (int i = 0, n = file_count(); i < n - 1; ++i)
    files["skills/s" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".md"] = {
        flavour + " " + std::to_string(i) + "\n"};
  return write_bundle(path, make_bundle(files, std::nullopt, flavour));
}

struct Plan {
  std::string path;
  std::string digest;
};

Plan plan_install(const std::string& target, const BundleClaim& claim, const std::string& file) {
  PlanOperationRequest r;
  r.target = target;
  r.operation = Operation::replace;
  r.provider_release_digest = "release-1";
  r.operation_id = "op-crash";
  r.expires_at = "2099-12-31T23:59:59.999Z";
  r.bundle = claim;
  auto envelope = plan_operation(r);
  EXPECT_TRUE(envelope.ok()) << envelope.error().detail;
  write_text(file, canonical_json(envelope->at("plan")).value());
  return {file, envelope->at("plan_digest").get<std::string>()};
}

std::vector<std::string> apply_args(const std::string& target, const Plan& plan,
                                    const BundleClaim& c) {
  return {VELK_BINARY_PATH, "apply-operation", "--target", target, "--json", "--plan", plan.path,
          "--plan-digest", plan.digest, "--provider-release-digest", "release-1", "--bundle",
          c.path, "--bundle-format", c.format, "--bundle-digest", c.bundle_digest,
          "--artifact-digest", c.artifact_digest, "--bundle-size", std::to_string(c.size)};
}

// Runs the apply in a child and kills it after `delay` unless it ended
// first. True when the kill landed.
bool run_and_kill(const std::vector<std::string>& args, std::chrono::microseconds delay) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  const auto deadline = Clock::now() + delay;
  int status = 0;
  while (Clock::now() < deadline) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;
    ::usleep(200);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status);
}

TEST(CrashSafety, AKilledApplyLeavesTheTargetWholeOrRecoverable) {
  TempDir side(testing::memory_temp_base());
  const BundleClaim one = bundle_of(side / "one.zip", "one");
  const BundleClaim two = bundle_of(side / "two.zip", "two");

  // The identity each bundle gives a target, and how long a whole apply
  // over the other takes (the median of three, since the disk is shared).
  TempDir reference(testing::memory_temp_base());
  std::map<std::string, const BundleClaim*> identity_of;
  std::vector<Clock::duration> took;
  for (const BundleClaim* claim : {&one, &two, &one, &two}) {
    const Plan p = plan_install(reference.path(), *claim, side / "reference-plan");
    const auto start = Clock::now();
    ASSERT_EQ(run_and_kill(apply_args(reference.path(), p, *claim), std::chrono::seconds(60)),
              false);
    if (!identity_of.empty()) took.push_back(Clock::now() - start);
    identity_of[identity_now(reference.path())] = claim;
  }
  std::sort(took.begin(), took.end());
  const Clock::duration whole = took[1];
  ASSERT_EQ(identity_of.size(), 2u);

  TempDir t(testing::memory_temp_base());
  const std::string control = t / ".velk-setup-system";
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int64_t> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(whole).count());
  int killed = 0, prepared = 0, changed = 0, unchanged = 0;
  for (int run = 0; run < kRuns; ++run) {
    const std::string before = identity_now(t.path());
    const BundleClaim& next = identity_of.count(before) && identity_of[before] == &one ? two : one;
    const Plan p = plan_install(t.path(), next, side / "plan");
    std::string after;
    for (const auto& [identity, claim] : identity_of)
      if (claim == &next) after = identity;

    killed += run_and_kill(apply_args(t.path(), p, next), std::chrono::microseconds(moment(random)));

    const auto journal = read_journal(control);
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
    EXPECT_FALSE(read_journal(control).value()) << "run " << run;
    // The record always describes what is there.
    const auto state = read_state(t.path());
    ASSERT_TRUE(state.ok());
    if (state->present()) {
      EXPECT_EQ(state->state.target_identity_digest, identity_now(t.path()));
    }
  }
  std::printf("runs %d, killed %d, prepared %d, unchanged %d, fully changed %d, whole apply %lld ms\n",
              kRuns, killed, prepared, unchanged, changed,
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(whole).count()));
  EXPECT_GT(prepared, 0);
}

}  // namespace
}  // namespace velk
