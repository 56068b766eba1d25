// The command line through the real binary: texts, stream choice, exit
// statuses and the provider-info document.
#include "consumer.h"
#include "product/facts.h"

namespace velk {
namespace {

using namespace velk::testing;

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

// A command's help: its summary, then the required flags, then the optional
// ones; provider-info lists none.
std::string help(const std::string& name, const std::string& summary, const Words& required,
                 const std::string& optional = "") {
  std::string text = name + "\n\n  " + summary + "\n";
  if (!required.empty()) text += "\nRequired:\n";
  for (const std::string& flag : required) text += "  " + flag + "\n";
  return optional.empty() ? text : text + "\nOptional:\n" + optional;
}

const std::string kPrefix =
    "  --prefix               where a program lives; required by every software_* operation\n";
const std::string kBundle =
    "  --bundle \u2026             the five bundle flags, for install and replace\n";

const std::vector<std::pair<Words, std::string>> kHelps = {
    {{"provider-info", "--help"},
     help("provider-info", "Report capabilities. Takes no arguments at all, not even --json.", {})},
    {{"validate-bundle", "--help"},
     help("validate-bundle",
          "Check a bundle against the exact claim that named it. Touches nothing.",
          {"--target", "--json", "--bundle", "--bundle-format", "--bundle-digest",
           "--artifact-digest", "--bundle-size"})},
    {{"plan-operation", "--help"},
     help("plan-operation",
          "Produce a plan. Always pure: reads the target and the local disk, opens no socket.",
          {"--target", "--json", "--operation", "--provider-release-digest", "--operation-id",
           "--expires-at"},
          kPrefix + "  --backup-ref           which slot a restore returns to\n"
                    "  --permission-profile   a profile this build declares\n"
                    "  --software-version     exactly one pinned version, when not the current "
                    "one\n" + kBundle +
              "  --target-scope         which scope this target is; accepted and not yet acted "
              "on\n")},
    {{"apply-operation", "--help"},
     help("apply-operation",
          "Apply one exact plan under the target lock. --plan is the plan object, written "
          "canonically -- not the envelope the planner printed around it.",
          {"--target", "--json", "--plan", "--plan-digest", "--provider-release-digest"},
          kPrefix + "  --software-artifact    one per software_artifacts entry, in the plan's "
                    "order\n" + kBundle)},
    {{"recover-operation", "--help"},
     help("recover-operation",
          "Resolve an interrupted operation. Reads the journal to know what it is resolving.",
          {"--target", "--json"})},
    // `status` is the provider command only with --json among its arguments.
    {{"status", "--target", "/t", "--json", "--help"},
     help("status", "Report the target's current state. Never changes it.", {"--target", "--json"},
          "  --target-scope         which scope to measure the target under; absent, the "
          "target's own record decides\n")},
    {{"launch", "--help"},
     help("launch",
          "Start the exact executable a software install placed. Never a name found on PATH.",
          {"--target", "--json", "--prefix"},
          "  -- <args>              everything after a bare -- goes to the product verbatim\n")},
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
  for (const auto& [words, text] : kHelps) expect_text(words, text);
  // Anywhere before the bare separator asks for help, whatever else is there.
  expect_text({"launch", "--target", "--help", "--", "x"}, kHelps.back().second);
  // After it, --help goes to the product: launch runs and refuses.
  testing::TempDir dir;
  const std::string prefix = dir / "prefix";
  expect_text({"launch", "--target", dir.path(), "--prefix", prefix, "--json", "--", "--help", "x"},
              refusal_line("provider_unavailable", prefix + "/bin/velk is not installed under " +
                                                       prefix + ": No such file or directory; run "
                                                                "software_install first"));
}

TEST(CommandLine, RefusalsGoToTheStreamOfTheCommandTheyAnswer) {
  // User commands fail on standard error once, the system error included
  // once; status is the provider command only with --json; arguments that
  // are not UTF-8 are refused before anything else.
  const std::vector<std::pair<Words, std::string>> failures = {
      {{"status", "--target", "/t", "--backup", "b"}, "--backup is not an argument of status"},
      {{"status", "--target", "/t", "--backup", "b", "--json"},
       "--backup is not an argument of this command"},
      {{"status", "--help"}, "--help is not an argument of status"},
      {{"install", "minimal", "--target", "/nowhere/home"},
       "target /nowhere/home cannot be inspected: No such file or directory"},
      {{"status", "--target", "/nowhere/home"},
       "target /nowhere/home cannot be inspected: No such file or directory"},
      {{"diff", "--target", "relative/dir"}, "target must be absolute, got relative/dir"},
      {{"backups", "--target", VELK_BINARY_PATH},
       "target " VELK_BINARY_PATH " is not a directory"},
      {{"list", "a\xff" "b"}, "argument 2 is not valid UTF-8: \"a\uFFFDb\""},
      {{"--version", "\xc3"}, "argument 2 is not valid UTF-8: \"\uFFFD\""},
  };
  for (const auto& [words, message] : failures) expect_error(words, message);
  // Provider commands refuse on standard output.
  for (const char* command : {"status", "recover-operation"}) {
    expect_text({command, "--target", "rel", "--json"},
                refusal_line("provider_unavailable", "target must be absolute, got rel"));
  }
}

TEST(CommandLine, OutputThatCannotBeWrittenIsAFailure) {
  const RunResult r =
      run_program("/bin/sh", {"-c", "exec \"$0\" --version >/dev/full", VELK_BINARY_PATH});
  EXPECT_EQ(r.err, "velk-setup-system: cannot write to standard output\n");
  EXPECT_EQ(r.exit_code, 1);
}

// The profile's digest, recomputed from the published object without it.
std::string digest_without_digest(Json profile) {
  profile.erase("digest");
  return *digest_document(kProjectionTag, profile);
}

TEST(ProviderInfo, PrintsOneStableCompactDocumentWithBothProfiles) {
  // One compact line, the same on every run.
  const Json doc = provider_json({"provider-info"});
  EXPECT_EQ(run_velk({"provider-info"}).out, doc.dump() + "\n");
  EXPECT_EQ(keys_of(doc),
            "protocol_version provider_id harness_id provider_version provider_build_digest "
            "supported_commands supported_operations supported_os supported_arch "
            "permission_profiles projection_profile scoped_projection_profiles "
            "status_request_fields plan_request_fields ");
  EXPECT_EQ(doc["provider_build_digest"], *provider_build_digest());
  EXPECT_EQ(doc["supported_commands"].dump(),
            R"(["provider-info","validate-bundle","plan-operation","apply-operation",)"
            R"("recover-operation","status","launch"])");
  EXPECT_EQ(doc["plan_request_fields"].dump(), R"(["target_scope","end_state"])");

  const Json& main = doc["projection_profile"];
  ASSERT_EQ(doc["scoped_projection_profiles"].size(), 1u);
  const Json& user_root = doc["scoped_projection_profiles"][0];
  const std::string members =
      "profile_id digest component_kinds projection_kinds native_namespaces bundle_formats "
      "max_files max_bytes ";
  EXPECT_EQ(keys_of(main), members);
  EXPECT_EQ(keys_of(user_root), members + "target_scope ");
  EXPECT_EQ(user_root["target_scope"], "user_root");
  EXPECT_EQ(main["profile_id"], "velk/native-and-plugins/1");
  EXPECT_EQ(user_root["profile_id"], "velk/native-files/user-root/1");
  EXPECT_EQ(user_root["native_namespaces"].dump(), R"(["skills"])");
  EXPECT_EQ(main["digest"], digest_without_digest(main));
  EXPECT_EQ(user_root["digest"], digest_without_digest(user_root));
  EXPECT_NE(main["digest"], user_root["digest"]);
}

}  // namespace
}  // namespace velk
