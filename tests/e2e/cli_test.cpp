// The command line through the real binary: texts, stream choice and exit
// statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "consumer.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::expect_failure;
using testing::expect_output;
using testing::refusal_line;
using testing::RunResult;
using testing::run_program;
using testing::run_velk;
using testing::Words;

const char kUsage[] =
    "velk-setup-system 0.0.63\n"
    "\n"
    "Configures Velk Build (Orlix) in a caller-named target directory.\n"
    "Documented configuration home: ~/.velk (VELK_HOME)\n"
    "\n"
    "Provider commands (ai-stp protocol v3):\n"
    "  provider-info\n"
    "  status            --target <dir> --json\n"
    "  validate-bundle   --target <dir> --json --bundle <path> ...\n"
    "  plan-operation    --target <dir> --json --operation <op> ...\n"
    "  apply-operation   --target <dir> --json --plan <path> --plan-digest <d> ...\n"
    "  recover-operation --target <dir> --json\n"
    "  launch            --target <dir> --prefix <dir> --json [-- <args>]\n"
    "\n"
    "This build also installs Velk Build itself. Those operations take a\n"
    "`--prefix` for the program, distinct from the `--target` that holds\n"
    "its configuration, and the bytes are fetched between planning and\n"
    "applying by whoever holds the network:\n"
    "\n"
    "  plan-operation  --operation software_install --target <dir> --prefix <dir> ...\n"
    "  apply-operation --prefix <dir> --software-artifact <file> ...\n"
    "\n"
    "Your commands:\n"
    "  list\n"
    "  status    --target <dir>\n"
    "  install   <setup> --target <dir>\n"
    "  select    <setup> --target <dir>\n"
    "  reinstall --target <dir>\n"
    "  diff      --target <dir>\n"
    "  backups   --target <dir>\n"
    "  restore   [--backup <ref>] --target <dir>\n"
    "  hold      --backup <ref> [--reason <why>] --target <dir>\n"
    "  release   --backup <ref> --target <dir>\n"
    "  remove    --target <dir>\n"
    "  adopt     --target <dir>\n"
    "  software  --prefix <dir>\n"
    "  rollback  --to <version> --prefix <dir>\n"
    "\n"
    "`software` reads the program directory and `rollback` points the\n"
    "command back at a version already in it -- installing a new one leaves\n"
    "the old tree in place and moves only the command. Both need no network,\n"
    "which is why they are commands you type; install and update need bytes\n"
    "fetched between planning and applying, so they stay on the wire above.\n"
    "\n"
    "`adopt` takes over a target still carrying MIREL-VELK-BUILD-SETUP.json,\n"
    "written by the estate that came before this one. It is a command you\n"
    "type, never something install does behind you, and it deletes nothing.\n"
    "\n"
    "Every one takes an explicit --target, and the two program commands an\n"
    "explicit --prefix. There is no default: a change aimed at a guessed\n"
    "path is a change aimed at someone else's state. `rollback` names its\n"
    "version for the same reason -- there is no record of which was\n"
    "previous, only what is on disk.\n"
    "\n"
    "A backup is captured before every change, so `restore` always has\n"
    "something to return to. The pool rolls, so a long series of changes\n"
    "eventually evicts the oldest: `hold` keeps one until `release` lets\n"
    "it go, which is how a baseline survives more captures than the pool.\n"
    "Over the wire, install and replace arrive as a bundle and refuse --\n"
    "this build reads setups from its own catalog.\n";

struct Help {
  Words words;
  std::string text;
};

const std::vector<Help> kHelps = {
    {{"provider-info", "--help"},
     "provider-info\n"
     "\n"
     "  Report capabilities. Takes no arguments at all, not even --json.\n"},
    {{"validate-bundle", "--help"},
     "validate-bundle\n"
     "\n"
     "  Check a bundle against the exact claim that named it. Touches nothing.\n"
     "\n"
     "Required:\n"
     "  --target\n"
     "  --json\n"
     "  --bundle\n"
     "  --bundle-format\n"
     "  --bundle-digest\n"
     "  --artifact-digest\n"
     "  --bundle-size\n"},
    {{"plan-operation", "--help"},
     "plan-operation\n"
     "\n"
     "  Produce a plan. Always pure: reads the target and the local disk, opens no socket.\n"
     "\n"
     "Required:\n"
     "  --target\n"
     "  --json\n"
     "  --operation\n"
     "  --provider-release-digest\n"
     "  --operation-id\n"
     "  --expires-at\n"
     "\n"
     "Optional:\n"
     "  --prefix               where a program lives; required by every software_* operation\n"
     "  --backup-ref           which slot a restore returns to\n"
     "  --permission-profile   a profile this build declares\n"
     "  --software-version     exactly one pinned version, when not the current one\n"
     "  --bundle \u2026             the five bundle flags, for install and replace\n"
     "  --target-scope         which scope this target is; accepted and not yet acted on\n"},
    {{"apply-operation", "--help"},
     "apply-operation\n"
     "\n"
     "  Apply one exact plan under the target lock. --plan is the plan object, written "
     "canonically -- not the envelope the planner printed around it.\n"
     "\n"
     "Required:\n"
     "  --target\n"
     "  --json\n"
     "  --plan\n"
     "  --plan-digest\n"
     "  --provider-release-digest\n"
     "\n"
     "Optional:\n"
     "  --prefix               where a program lives; required by every software_* operation\n"
     "  --software-artifact    one per software_artifacts entry, in the plan's order\n"
     "  --bundle \u2026             the five bundle flags, for install and replace\n"},
    {{"recover-operation", "--help"},
     "recover-operation\n"
     "\n"
     "  Resolve an interrupted operation. Reads the journal to know what it is resolving.\n"
     "\n"
     "Required:\n"
     "  --target\n"
     "  --json\n"},
    // `status` is the provider command only with --json among its arguments.
    {{"status", "--target", "/t", "--json", "--help"},
     "status\n"
     "\n"
     "  Report the target's current state. Never changes it.\n"
     "\n"
     "Required:\n"
     "  --target\n"
     "  --json\n"
     "\n"
     "Optional:\n"
     "  --target-scope         which scope to measure the target under; absent, the target's "
     "own record decides\n"},
    {{"launch", "--help"},
     "launch\n"
     "\n"
     "  Start the exact executable a software install placed. Never a name found on PATH.\n"
     "\n"
     "Required:\n"
     "  --target\n"
     "  --json\n"
     "  --prefix\n"
     "\n"
     "Optional:\n"
     "  -- <args>              everything after a bare -- goes to the product verbatim\n"},
};

void expect_text(const Words& words, const std::string& text) {
  expect_output(run_velk(words), text);
}

void expect_error(const Words& words, const std::string& message) {
  expect_failure(run_velk(words), message);
}

TEST(CommandLine, PrintsUsageVersionAndHelpOnlyForTheFirstArgument) {
  expect_text({}, kUsage);
  expect_text({"--help", "list", "--json"}, kUsage);
  expect_text({"--version"}, "velk-setup-system 0.0.63\n");
  expect_error({"list", "--version"}, "--version is not an argument of list");
  expect_error({"-h"}, "-h is not a provider protocol v3 command");
  expect_error({""}, " is not a provider protocol v3 command");
}

TEST(CommandLine, PrintsTheHelpOfEachProviderCommand) {
  for (const Help& help : kHelps) expect_text(help.words, help.text);
  // Anywhere before the bare separator asks for help, whatever else is there.
  expect_text({"launch", "--target", "--help", "--", "x"}, kHelps.back().text);
  // After it, --help goes to the product: launch runs and refuses.
  testing::TempDir dir;
  const std::string prefix = dir / "prefix";
  expect_text({"launch", "--target", dir.path(), "--prefix", prefix, "--json", "--", "--help", "x"},
              refusal_line("provider_unavailable", prefix + "/bin/velk is not installed under " +
                                                       prefix + ": No such file or directory; run "
                                                                "software_install first"));
}

TEST(CommandLine, StatusIsTheProviderCommandWhereverJsonAppears) {
  expect_error({"status", "--target", "/t", "--backup", "b"}, "--backup is not an argument of status");
  expect_error({"status", "--target", "/t", "--backup", "b", "--json"},
               "--backup is not an argument of this command");
  expect_error({"status", "--help"}, "--help is not an argument of status");
}

TEST(CommandLine, ArgumentErrorsGoToStandardErrorAndRefusalsToStandardOutput) {
  expect_error({"plan-operation", "--target", "/t", "--json", "--operation", "bogus",
                "--provider-release-digest", "r", "--operation-id", "o", "--expires-at", "e"},
               "bogus is not an operation this protocol defines");
  for (const char* command : {"status", "recover-operation"}) {
    expect_text({command, "--target", "rel", "--json"},
                refusal_line("provider_unavailable", "target must be absolute, got rel"));
  }
}

TEST(CommandLine, RefusesArgumentsThatAreNotUtf8BeforeAnythingElse) {
  expect_error({"list", "a\xff" "b"}, "argument 2 is not valid UTF-8: \"a\uFFFDb\"");
  expect_error({"--version", "\xc3"}, "argument 2 is not valid UTF-8: \"\uFFFD\"");
}

TEST(CommandLine, OutputThatCannotBeWrittenIsAFailure) {
  const RunResult r =
      run_program("/bin/sh", {"-c", "exec \"$0\" --version >/dev/full", VELK_BINARY_PATH});
  EXPECT_EQ(r.err, "velk-setup-system: cannot write to standard output\n");
  EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace velk
