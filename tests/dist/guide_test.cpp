// The guides are executable: every ```console block of docs/user-guide.md,
// docs/protocol-guide.md and docs/troubleshooting.md is a shell session ("$ "
// commands, then what they print, both streams), run in order, in one shell,
// in a scratch directory, against the built program. In what a guide shows,
// "…" stands for any text within a line, a line of "..." alone for any number
// of lines, and operation ids and plan expiries are whatever the run made.
// The guides' paths (/home/me, /opt/velk, /srv/velk) are made inside the
// scratch directory, beside the source tree's `releases` and `examples`.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/runner.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;

struct Step {
  std::string command;
  std::string expected;
  int line = 0;  // in the guide, for the message
};

std::vector<Step> sessions_of(const std::string& guide) {
  std::istringstream in(guide);
  std::vector<Step> steps;
  bool inside = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!inside) {
      inside = line == "```console";
      continue;
    }
    if (line == "```") {
      inside = false;
      continue;
    }
    if (line.starts_with("$ ")) {
      steps.push_back(Step{line.substr(2), "", number});
      // A command continued on the next lines.
      while (steps.back().command.ends_with("\\") && std::getline(in, line)) {
        ++number;
        steps.back().command += "\n" + line;
      }
    } else if (!steps.empty()) {
      steps.back().expected += line + "\n";
    }
  }
  return steps;
}

std::string escaped(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// What a run printed with what changes from run to run made alike.
std::string settled(std::string text) {
  text = std::regex_replace(text, std::regex("operation_[0-9a-f]{24}"), "operation_<id>");
  text = std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"), "<time>");
  return text;
}

// Whether `actual` is what `expected` shows, "…" and "..." read as above.
bool shows(const std::string& expected, const std::string& actual) {
  std::string pattern;
  std::istringstream in(settled(expected));
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(' ') != std::string::npos &&
        line.substr(line.find_first_not_of(' ')) == "...") {
      pattern += "(?:[^\\n]*\\n)*?";
      continue;
    }
    std::string row;
    size_t from = 0;
    for (size_t at; (at = line.find("…", from)) != std::string::npos; from = at + 3)
      row += escaped(line.substr(from, at - from)) + "[^\\n]*?";
    pattern += row + escaped(line.substr(from)) + "\\n";
  }
  return std::regex_match(settled(actual), std::regex(pattern));
}

void run_guide(const std::string& name) {
  const std::string source = VELK_SOURCE_DIR;
  const std::vector<Step> steps = sessions_of(read_text(source + "/docs/" + name));
  ASSERT_FALSE(steps.empty()) << name << " holds no session";
  TempDir scratch;
  make_dirs(scratch / "bin");
  make_dirs(scratch / "tmp");
  ASSERT_EQ(::symlink(VELK_BINARY_PATH, (scratch / "bin/velk-setup-system").c_str()), 0);
  for (const char* dir : {"releases", "examples"})
    ASSERT_EQ(::symlink((source + "/" + dir).c_str(), (scratch / dir).c_str()), 0);

  // One shell runs every command; a marker before each tells the outputs
  // apart, and standard error goes with standard output, as on a screen.
  const auto rooted = [&](std::string command) {
    for (const std::string root : {"/home/me", "/opt/velk", "/srv/velk"})
      for (size_t at = 0; (at = command.find(root, at)) != std::string::npos;
           at += scratch.path().size() + root.size())
        command.insert(at, scratch.path());
    return command;
  };
  std::string script;
  for (size_t i = 0; i < steps.size(); ++i)
    script += "printf '\\n@@@ " + std::to_string(i) + "\\n'\n{ " + rooted(steps[i].command) +
              "\n} 2>&1\n";
  RunOptions options;
  options.cwd = scratch.path();
  options.input = script;
  options.timeout = std::chrono::seconds(240);
  options.set_env = {{"PATH", scratch / "bin" + ":/usr/bin:/bin"},
                     {"PYTHONPATH", source + "/clients/python"},
                     {"TMPDIR", scratch / "tmp"},
                     {"HOME", scratch.path()},
                     {"LC_ALL", "C.UTF-8"}};
  options.unset_env = {"VELK_SETUP_SYSTEM_SETUP_CATALOG"};
  const RunResult run = run_program("/bin/sh", {"-s"}, options);
  ASSERT_FALSE(run.timed_out);

  // Each command's output, the scratch directory taken out of it.
  std::string out = run.out;
  for (size_t at; (at = out.find(scratch.path())) != std::string::npos;)
    out.erase(at, scratch.path().size());
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::string marker = "\n@@@ " + std::to_string(i) + "\n";
    const size_t begin = out.find(marker);
    ASSERT_NE(begin, std::string::npos) << "the session stopped before line " << steps[i].line;
    const size_t end = out.find("\n@@@ ", begin + marker.size());
    const std::string printed = out.substr(begin + marker.size(),
                                           end == std::string::npos ? std::string::npos
                                                                    : end - begin - marker.size());
    EXPECT_TRUE(shows(steps[i].expected, printed))
        << name << ":" << steps[i].line << ": $ " << steps[i].command << "\nthe guide shows:\n"
        << steps[i].expected << "the program printed:\n" << printed;
  }
}

TEST(Guides, WhatTheUserGuideShowsIsWhatTheProgramDoes) { run_guide("user-guide.md"); }
TEST(Guides, WhatTheProtocolGuideShowsIsWhatTheProgramDoes) { run_guide("protocol-guide.md"); }
TEST(Guides, TheTroubleshootingPageShowsWhatTheProgramSays) { run_guide("troubleshooting.md"); }

TEST(Guides, ASessionOnlyPassesWhenItMatches) {
  EXPECT_TRUE(shows("a\n...\nb…d\n", "a\nx\ny\nbcd\n"));
  EXPECT_TRUE(shows("operation_40c989871f334d240b56ffab\n", "operation_3c2a6996557c6229fb198a44\n"));
  EXPECT_FALSE(shows("a\nb\n", "a\nc\n"));
  EXPECT_FALSE(shows("a…\n", "a\nb\n"));
  EXPECT_FALSE(shows("(x)\n", "x\n"));
}

}  // namespace
}  // namespace velk
