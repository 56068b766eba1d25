// The command line through the real binary, and the provider-info document.
#include "consumer.h"
#include "product/facts.h"

namespace velk {
namespace {

using namespace velk::testing;

// The guides compare usage and help whole; here, where help is asked for and what follows.
TEST(CommandLine, PrintsUsageVersionAndHelpOnlyForTheFirstArgument) {
  const std::string usage = run_velk({}).out;
  EXPECT_TRUE(usage.starts_with("velk-setup-system 0.0.63\n\n")) << usage;
  EXPECT_NE(usage.find("it go, which is how a baseline survives more captures than the pool.\n"
                       "Over the wire, install and replace arrive as a bundle and refuse --\n"
                       "this build reads setups from its own catalog.\n"),
            std::string::npos);
  expect_output(run_velk({"--help", "list", "--json"}), usage);
  expect_output(run_velk({"--version"}), "velk-setup-system 0.0.63\n");
  expect_failure(run_velk({"list", "--version"}), "--version is not an argument of list");
  expect_failure(run_velk({"-h"}), "-h is not a provider protocol v3 command");
  expect_failure(run_velk({""}), " is not a provider protocol v3 command");
}

TEST(CommandLine, PrintsTheHelpOfEachProviderCommand) {
  // Anywhere before the bare separator asks for help, whatever else is there.
  const std::string help = run_velk({"launch", "--help"}).out;
  EXPECT_TRUE(help.starts_with("launch\n\n  Start the exact executable")) << help;
  expect_output(run_velk({"launch", "--target", "--help", "--", "x"}), help);
  // After it, --help goes to the product: launch runs and refuses.
  testing::TempDir dir;
  const std::string prefix = dir / "prefix";
  expect_output(
      run_velk({"launch", "--target", dir.path(), "--prefix", prefix, "--json", "--", "--help", "x"}),
      refusal_line("provider_unavailable", prefix + "/bin/velk is not installed under " + prefix +
                                               ": No such file or directory; run "
                                               "software_install first"));
}

TEST(CommandLine, RefusalsGoToTheStreamOfTheCommandTheyAnswer) {
  // status is a provider command only with --json; arguments not UTF-8 are refused first.
  const std::vector<std::pair<Words, std::string>> failures = {
      {{"status", "--target", "/t", "--backup", "b"}, "--backup is not an argument of status"},
      {{"status", "--target", "/t", "--backup", "b", "--json"},
       "--backup is not an argument of this command"},
      {{"install", "minimal", "--target", "/nowhere/home"},
       "target /nowhere/home cannot be inspected: No such file or directory"},
      {{"diff", "--target", "relative/dir"}, "target must be absolute, got relative/dir"},
      {{"backups", "--target", VELK_BINARY_PATH},
       "target " VELK_BINARY_PATH " is not a directory"},
      {{"list", "a\xff" "b"}, "argument 2 is not valid UTF-8: \"a\uFFFDb\""},
      {{"--version", "\xc3"}, "argument 2 is not valid UTF-8: \"\uFFFD\""},
  };
  for (const auto& [words, message] : failures) expect_failure(run_velk(words), message);
  for (const char* command : {"status", "recover-operation"}) {
    expect_output(run_velk({command, "--target", "rel", "--json"}),
                  refusal_line("provider_unavailable", "target must be absolute, got rel"));
  }
}

TEST(CommandLine, OutputThatCannotBeWrittenIsAFailure) {
  const RunResult r =
      run_program("/bin/sh", {"-c", "exec \"$0\" --version >/dev/full", VELK_BINARY_PATH});
  EXPECT_EQ(r.err, "velk-setup-system: cannot write to standard output\n");
  EXPECT_EQ(r.exit_code, 1);
}

std::string digest_without_digest(Json profile) {
  profile.erase("digest");
  return *digest_document(kProjectionTag, profile);
}

TEST(ProviderInfo, PrintsOneStableCompactDocumentWithBothProfiles) {
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
