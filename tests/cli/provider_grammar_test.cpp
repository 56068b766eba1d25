#include "cli/provider_grammar.h"

#include <gtest/gtest.h>

#include <limits>

namespace velk {
namespace {

using Words = std::vector<std::string>;

Result<ProviderRequest, ArgumentError> parse(const Words& words) {
  const std::optional<ProviderCommand> command = parse_provider_command(words.at(0));
  if (!command) std::abort();
  return parse_provider_request(*command, std::span<const std::string>(words).subspan(1));
}

template <class T>
T parsed_as(const Words& words) {
  auto parsed = parse(words);
  if (!parsed.ok()) {
    ADD_FAILURE() << parsed.error().message;
    return T{};
  }
  return std::get<T>(*parsed);
}

const Words kBundle = {"--bundle", "/b.zip", "--bundle-format", "ai-stp-bundle/2", "--bundle-digest",
                       "sha256:b", "--artifact-digest", "sha256:a", "--bundle-size", "42"};

Words with(Words words, const Words& extra) {
  words.insert(words.end(), extra.begin(), extra.end());
  return words;
}

Words plan_with(const Words& extra, const std::string& operation = "install") {
  return with({"plan-operation", "--target", "/t", "--json", "--operation", operation,
               "--provider-release-digest", "sha256:r", "--operation-id", "op-1", "--expires-at",
               "2030-01-01T00:00:00.000Z"},
              extra);
}

struct Refused {
  Words words;
  std::string message;
  std::optional<ReasonCode> code = std::nullopt;
};

TEST(ProviderGrammar, RefusesWithTheFirstFailure) {
  const std::string all_five =
      "a bundle is named by all five of --bundle, --bundle-format, --bundle-digest, "
      "--artifact-digest and --bundle-size";
  const Words validate = with({"validate-bundle", "--target", "/t", "--json"}, kBundle);
  const std::vector<Refused> cases = {
      {{"provider-info", "--"}, "provider-info takes no arguments"},
      {{"status", "--json", "--json"}, "--json was given twice"},
      {{"status", ""}, " is not a flag"},
      {{"status", "-x", "1"}, "-x is not a flag"},
      {{"status", "--target"}, "--target has no value"},
      {{"launch", "--target", "/t", "--json", "--prefix", "--", "/p"}, "--prefix has no value"},
      // Missing required flags in table order; docs/troubleshooting.md shows more, and case.
      {{"status", "--target", "/t"}, "status is missing --json; run `status --help` for what it takes"},
      {{"status", "--json", "--", "--target", "/t"},
       "status is missing --target; run `status --help` for what it takes"},
      {{"plan-operation", "--operation", "bogus"},
       "plan-operation is missing --target, --json, --provider-release-digest, --operation-id, "
       "--expires-at; run `plan-operation --help` for what it takes"},
      // Values, in the order each command takes them out.
      {plan_with({"--prefix", "rel"}, "bogus"), "bogus is not an operation this protocol defines",
       ReasonCode::unsupported_operation},
      {plan_with({"--bundle", "/b", "--bundle-size", "1", "--prefix", "rel"}), all_five},
      {plan_with({"--prefix", "rel", "--target-scope", "nope"}), "--prefix rel is not an absolute path"},
      {plan_with({"--target-scope", "global", "--aaa", "1"}),
       "global is not a target scope this build knows; it knows project, user_root",
       ReasonCode::unsupported_operation},
      {{"apply-operation", "--target", "/t", "--json", "--plan", "p", "--plan-digest", "d",
        "--provider-release-digest", "r", "--artifact-digest", "a"},
       all_five},
      // Leftover flags: the first in byte order is named.
      {{"status", "--target", "/t", "--json", "--a", "1", "--Z", "2"},
       "--Z is not an argument of this command"},
      {{"status", "--target", "/t", "--json", "--\u00e9", "1", "--z", "2"},
       "--z is not an argument of this command"},
      {with(validate, {"--target-scope", "project"}),
       "--target-scope is not an argument of this command"},
      {plan_with({"--software-artifact", "a", "--software-artifact", "b"}),
       "--software-artifact is not an argument of this command"},
      {{"apply-operation", "--target", "/t", "--json", "--plan", "p", "--plan-digest", "d",
        "--provider-release-digest", "r", "--software-version", "1"},
       "--software-version is not an argument of this command"},
      {{"recover-operation", "--target", "/t", "--json", "--prefix", "/p"},
       "--prefix is not an argument of this command"},
  };
  for (const Refused& c : cases) {
    auto parsed = parse(c.words);
    ASSERT_FALSE(parsed.ok()) << c.message;
    EXPECT_EQ(parsed.error().message, c.message);
    EXPECT_EQ(parsed.error().code, c.code) << c.message;
  }
}

TEST(ProviderGrammar, BundleSizeIsAnUnsignedDecimalThatFits64Bits) {
  const Words head = {"validate-bundle", "--target", "/t", "--json", "--bundle", "/b",
                      "--bundle-format", "f", "--bundle-digest", "d", "--artifact-digest", "a",
                      "--bundle-size"};
  const std::vector<std::pair<std::string, uint64_t>> accepted = {
      {"+12", 12}, {"0", 0}, {"007", 7}, {"18446744073709551615", std::numeric_limits<uint64_t>::max()}};
  for (const auto& [text, value] : accepted)
    EXPECT_EQ(parsed_as<ValidateBundleRequest>(with(head, {text})).claim.size, value) << text;

  for (const std::string text :
       {"12k", "", "+", "++1", "-1", " 1", "1 ", "0x10", "1e3", "18446744073709551616",
        "99999999999999999999999", "\u0661"}) {
    auto parsed = parse(with(head, {text}));
    ASSERT_FALSE(parsed.ok()) << text;
    EXPECT_EQ(parsed.error().message, "--bundle-size " + text + " is not a decimal byte count");
  }
}

// The fuzz target round-trips accepted requests; here, a whole claim and artifacts in order.
TEST(ProviderGrammar, PlanAndApplyTakeAWholeClaimAndEveryArtifact) {
  const auto full =
      parsed_as<PlanOperationRequest>(with(plan_with({"--target-scope", "user_root"}), kBundle));
  EXPECT_EQ(full.target_scope, TargetScope::user_root);
  EXPECT_EQ(full.bundle, (BundleClaim{"/b.zip", "ai-stp-bundle/2", "sha256:b", "sha256:a", 42}));
  const auto apply = parsed_as<ApplyOperationRequest>(
      {"apply-operation", "--software-artifact", "/z", "--target", "/t", "--json", "--plan", "/plan",
       "--plan-digest", "sha256:p", "--provider-release-digest", "sha256:r", "--prefix", "/p",
       "--software-artifact", "/a"});
  EXPECT_FALSE(apply.bundle.has_value());
  EXPECT_EQ(apply.software_artifacts, (Words{"/z", "/a"}));
}

TEST(ProviderGrammar, OnlyLaunchKeepsWhatFollowsTheBareSeparator) {
  const auto launch = parsed_as<LaunchRequest>(
      {"launch", "--target", "/t", "--prefix", "/p", "--json", "--", "--help", "x", "--", ""});
  EXPECT_EQ(launch.prefix, "/p");
  EXPECT_EQ(launch.args, (Words{"--help", "x", "--", ""}));
  EXPECT_TRUE(parsed_as<LaunchRequest>({"launch", "--target", "/t", "--prefix", "/p", "--json"})
                  .args.empty());
  // Other commands ignore it, whatever it holds.
  const auto status =
      parsed_as<StatusRequest>({"status", "--target", "/t", "--json", "--", "--bogus", "x"});
  EXPECT_EQ(status.target, "/t");
  EXPECT_FALSE(status.target_scope.has_value());
}

}  // namespace
}  // namespace velk
