// What a change writes is on disk before the record that vouches for it:
// the system calls of real runs, traced, show a flush of the file system
// between the last write of a backup and its record, between the effects of
// a change and the state file, and between an extracted program tree and
// its promotion. Skipped where strace cannot run.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "consumer.h"
#include "support/software_prefix.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;

const std::string kCatalog = std::string(VELK_SOURCE_DIR) + "/setups/velk-build";
const std::string kStrace = "/usr/bin/strace";

// The traced calls of one run, in order, one per line ("syncfs(4</t>) = 0",
// "renameat(5</t>, ".x.staging", 5</t>, "x") = 0"): descriptors are shown
// with their paths.
std::vector<std::string> traced(const Words& args, const std::string& log) {
  // The leak checker of a sanitized build cannot run under ptrace; the
  // suite's other runs of the program check for leaks.
  Words command = {"-f", "-y", "-qq", "-o", log, "-e", "trace=syncfs,rename,renameat,renameat2",
                   "-E", "VELK_SETUP_SYSTEM_SETUP_CATALOG=" + kCatalog,
                   "-E", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1", VELK_BINARY_PATH};
  command.insert(command.end(), args.begin(), args.end());
  const RunResult r = run_program(kStrace, command);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> lines;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool strace_runs() {
  if (::access(kStrace.c_str(), X_OK) != 0) return false;
  return run_program(kStrace, {"-qq", "-o", "/dev/null", "/bin/true"}).exit_code == 0;
}

// The position of the first line holding `needle` at or after `from`, or
// npos.
size_t find_line(const std::vector<std::string>& lines, const std::string& needle,
                 size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].find(needle) != std::string::npos) return i;
  return std::string::npos;
}

// A syncfs of the file system lies between `after` (or the start) and the
// rename that publishes `published`.
void expect_flush_before(const std::vector<std::string>& lines, const std::string& published,
                         size_t after = 0) {
  const size_t publish = find_line(lines, published, after);
  ASSERT_NE(publish, std::string::npos) << published << " is never published";
  const size_t flush = find_line(lines, "syncfs(", after);
  EXPECT_LT(flush, publish) << "no flush before " << published;
}

TEST(Durability, ABackupIsOnDiskBeforeItsRecordAndTheEffectsBeforeTheStateFile) {
  if (!strace_runs()) GTEST_SKIP() << "strace cannot run here";
  TempDir t;
  TempDir side;
  write_text(t / "AGENTS.md", "mine\n");
  write_text(t / "skills/a/SKILL.md", "a\n");

  const auto lines = traced({"install", "minimal", "--target", t.path()}, side / "install.log");
  const size_t slot_record = find_line(lines, "\"slot.json\")");
  const size_t journal = find_line(lines, "\"journal.json\")");
  const size_t state = find_line(lines, "\"MIREL-VELK-PROVIDER.json\")");
  ASSERT_NE(slot_record, std::string::npos);
  ASSERT_LT(slot_record, journal);
  ASSERT_LT(journal, state);
  // The payload, then its record; the effects (written after the journal),
  // then the state file that describes them.
  expect_flush_before(lines, "\"slot.json\")");
  expect_flush_before(lines, "\"MIREL-VELK-PROVIDER.json\")", journal + 1);

  // A restore writes the payload back: flushed before the record too.
  const auto restore = traced({"restore", "--target", t.path()}, side / "restore.log");
  expect_flush_before(restore, "\"slot.json\")");
  expect_flush_before(restore, "\"MIREL-VELK-PROVIDER.json\")",
                      find_line(restore, "\"journal.json\")") + 1);
  EXPECT_EQ(read_text(t / "AGENTS.md"), "mine\n");
}

TEST(Durability, AnExtractedProgramTreeIsOnDiskBeforeItIsPromoted) {
  if (!strace_runs()) GTEST_SKIP() << "strace cannot run here";
  TempDir tmp;
  const std::string prefix = tmp / "prefix", home = tmp / "home";
  make_dirs(home);
  const Json envelope = plan_request(home, "software_install", {"--prefix", prefix});
  const std::string plan = store_plan(envelope, tmp / "plan.json");
  const auto lines = traced({"apply-operation", "--target", home, "--json", "--plan", plan,
                             "--plan-digest", envelope.value("plan_digest", ""),
                             "--provider-release-digest", "release-1", "--prefix", prefix,
                             "--software-artifact", host_artifact("1.0.18")},
                            tmp / "software.log");
  // The staged tree becomes the version's directory by a rename.
  const size_t promote = find_line(lines, "\".incoming-1.0.18\", ");
  ASSERT_NE(promote, std::string::npos);
  EXPECT_LT(find_line(lines, "syncfs("), promote);
}

}  // namespace
}  // namespace velk
