// Traced runs: every file written and directory made is flushed before the rename that
// publishes its record (slot.json, the state file, a program tree), never the whole disk.
#include <fstream>
#include <regex>

#include "consumer.h"

namespace velk {
namespace {

using namespace velk::testing;

// The traced calls of one run, descriptors with their paths ("fdatasync(7</t/a>) = 0").
std::vector<std::string> traced(const Words& args, const std::string& log) {
  // A sanitized build's leak checker cannot run under ptrace; other runs check for leaks.
  Words command = {"-f", "-y", "-qq", "-o", log, "-e",
                   "trace=syncfs,sync,fsync,fdatasync,rename,renameat,renameat2,openat,mkdirat",
                   "-E", "VELK_SETUP_SYSTEM_SETUP_CATALOG=" + kCatalog,
                   "-E", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1", VELK_BINARY_PATH};
  command.insert(command.end(), args.begin(), args.end());
  const RunResult r = run_program(kStrace, command);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // A call another thread interrupted comes in two pieces ("<unfinished ...>", "resumed>").
  std::vector<std::string> lines;
  std::map<std::string, std::string> unfinished;  // by process id
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    const std::string pid = line.substr(0, line.find(' '));
    if (line.ends_with(" <unfinished ...>")) {
      unfinished[pid] = line.substr(0, line.size() - 17);
      continue;
    }
    if (const size_t at = line.find(" resumed>"); at != std::string::npos && unfinished.count(pid)) {
      line = unfinished[pid] + line.substr(at + 9);
      unfinished.erase(pid);
    }
    lines.push_back(line);
  }
  return lines;
}

size_t find_line(const std::vector<std::string>& lines, const std::string& needle,
                 size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].find(needle) != std::string::npos) return i;
  return std::string::npos;
}

// Each file created and directory made below `below` in [from, to) is flushed
// in that span (a directory and its parent); returns how many were checked.
size_t expect_flushed(const std::vector<std::string>& lines, const std::string& below,
                      size_t from, size_t to) {
  static const std::regex created(R"re(openat\(.*O_CREAT.*\) = \d+<([^>]+)>)re");
  static const std::regex made(R"re(mkdirat\(\d+<([^>]+)>, "([^"]+)".*\) = 0)re");
  // A file may be flushed under the name a rename gave it.
  static const std::regex renamed(
      R"re(renameat2?\(\d+<([^>]+)>, "([^"]+)", \d+<([^>]+)>, "([^"]+)".*\) = 0)re");
  const auto flushed_after = [&](std::string path, size_t at, bool directory) {
    for (size_t i = at + 1; i < to; ++i) {
      std::smatch r;
      if (!directory && std::regex_search(lines[i], r, renamed) &&
          r[1].str() + "/" + r[2].str() == path) {
        path = r[3].str() + "/" + r[4].str();
        continue;
      }
      const bool call = lines[i].find(directory ? "fsync(" : "sync(") != std::string::npos;
      if (call && lines[i].find("<" + path + ">)") != std::string::npos &&
          lines[i].ends_with("= 0"))
        return true;
    }
    return false;
  };
  size_t checked = 0;
  for (size_t i = from; i < to; ++i) {
    std::smatch m;
    // The lock file's note is no data: it need not survive a power cut.
    if (std::regex_search(lines[i], m, created) && m[1].str().starts_with(below) &&
        !m[1].str().ends_with("/target.lock")) {
      EXPECT_TRUE(flushed_after(m[1], i, false)) << m[1] << " is not flushed before line " << to;
      ++checked;
    } else if (std::regex_search(lines[i], m, made) && m[1].str().starts_with(below)) {
      const std::string dir = m[1].str() + "/" + m[2].str();
      EXPECT_TRUE(flushed_after(dir, i, true)) << dir << " is not flushed before line " << to;
      EXPECT_TRUE(flushed_after(m[1], i, true)) << m[1] << " is not flushed before line " << to;
      ++checked;
    }
  }
  return checked;
}

TEST(Durability, ABackupIsOnDiskBeforeItsRecordAndTheEffectsBeforeTheStateFile) {
  if (!strace_runs()) GTEST_SKIP() << "strace cannot run here";
  TempDir t;
  TempDir side;
  write_text(t / "AGENTS.md", "mine\n");
  write_text(t / "skills/a/SKILL.md", "a\n");
  write_text(t / "skills/b/deep/notes.md", "b\n");

  for (const Words& change : {Words{"install", "mirel-builder", "--target", t.path()},
                              Words{"restore", "--target", t.path()},
                              Words{"remove", "--target", t.path()}}) {
    SCOPED_TRACE(change[0]);
    const auto lines = traced(change, side / (change[0] + ".log"));
    const size_t slot_record = find_line(lines, "\"slot.json\") = 0");
    const size_t journal = find_line(lines, "\"journal.json\") = 0");
    const size_t state = find_line(lines, "\"MIREL-VELK-PROVIDER.json\") = 0");
    ASSERT_NE(slot_record, std::string::npos);
    ASSERT_LT(slot_record, journal);
    ASSERT_LT(journal, state);
    // The payload before its record; the effects before the state file.
    EXPECT_GT(expect_flushed(lines, t / ".velk-setup-system", 0, slot_record), 0u);
    const size_t effects = expect_flushed(lines, t.path(), journal, state);
    if (change[0] != "remove") {
      EXPECT_GT(effects, 0u);
    }
    EXPECT_EQ(find_line(lines, "syncfs("), std::string::npos);
    EXPECT_EQ(find_line(lines, "sync()"), std::string::npos);
  }
  EXPECT_FALSE(exists(t / "AGENTS.md"));
}

TEST(Durability, AnExtractedProgramTreeIsOnDiskBeforeItIsPromoted) {
  if (!strace_runs()) GTEST_SKIP() << "strace cannot run here";
  TempDir tmp;
  const std::string prefix = tmp / "prefix", home = tmp / "home";
  make_dirs(home);
  const Json envelope = plan_request(home, "software_install", {"--prefix", prefix});
  const std::string plan = store_plan(envelope, tmp / "plan.json");
  const auto lines = traced(apply_words(home, plan, envelope.value("plan_digest", ""),
                                        {"--prefix", prefix, "--software-artifact",
                                         host_artifact("1.0.18")}),
                            tmp / "software.log");
  // The staged tree becomes the version's directory by a rename.
  size_t promote = std::string::npos;
  for (size_t i = 0; i < lines.size() && promote == std::string::npos; ++i)
    if (lines[i].find("renameat") != std::string::npos &&
        lines[i].find("\".incoming-1.0.18\", ") != std::string::npos)
      promote = i;
  ASSERT_NE(promote, std::string::npos);
  EXPECT_GT(expect_flushed(lines, prefix + "/.incoming-1.0.18", 0, promote), 0u);
  EXPECT_EQ(find_line(lines, "syncfs("), std::string::npos);
}

}  // namespace
}  // namespace velk
