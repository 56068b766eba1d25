#include "cli/provider_grammar.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "cli/command_table.h"
#include "core/text.h"
#include "product/declaration.h"

namespace velk {
namespace {

ArgumentError fail(std::string message, std::optional<ReasonCode> code = std::nullopt) {
  return ArgumentError{std::move(message), code};
}

// The flags read from the command line, by name. Each handler takes out
// what it uses; whatever is left was not an argument of the command.
struct Collected {
  std::map<std::string, std::vector<std::string>> values;  // byte order
  bool json = false;

  bool has(std::string_view flag) const { return values.count(std::string(flag)) != 0; }

  std::optional<std::string> take(std::string_view flag) {
    auto it = values.find(std::string(flag));
    if (it == values.end()) return std::nullopt;
    std::string value = std::move(it->second.front());
    values.erase(it);
    return value;
  }

  // For flags whose presence the required-flag check has already ensured.
  std::string take_required(std::string_view flag) { return take(flag).value(); }

  std::vector<std::string> take_all(std::string_view flag) {
    auto it = values.find(std::string(flag));
    if (it == values.end()) return {};
    std::vector<std::string> all = std::move(it->second);
    values.erase(it);
    return all;
  }
};

constexpr std::string_view kSoftwareArtifact = "--software-artifact";
constexpr const auto& kBundleFlags = kBundleClaimFlags;

Result<std::optional<BundleClaim>, ArgumentError> take_claim(Collected& flags) {
  const auto given = std::count_if(kBundleFlags.begin(), kBundleFlags.end(),
                                   [&](std::string_view f) { return flags.has(f); });
  if (given == 0) return std::optional<BundleClaim>();
  if (given != static_cast<long>(kBundleFlags.size()))
    return fail(
        "a bundle is named by all five of --bundle, --bundle-format, --bundle-digest, "
        "--artifact-digest and --bundle-size");
  BundleClaim claim;
  claim.path = flags.take_required("--bundle");
  claim.format = flags.take_required("--bundle-format");
  claim.bundle_digest = flags.take_required("--bundle-digest");
  claim.artifact_digest = flags.take_required("--artifact-digest");
  const std::string size = flags.take_required("--bundle-size");
  const std::optional<uint64_t> bytes = parse_byte_count(size);
  if (!bytes) return fail("--bundle-size " + size + " is not a decimal byte count");
  claim.size = *bytes;
  return std::optional<BundleClaim>(std::move(claim));
}

// Only the form is checked here; the software commands judge the directory.
Result<std::optional<std::string>, ArgumentError> take_prefix(Collected& flags) {
  std::optional<std::string> prefix = flags.take("--prefix");
  if (prefix && !starts_with(*prefix, "/"))
    return fail("--prefix " + *prefix + " is not an absolute path");
  return prefix;
}

Result<std::optional<TargetScope>, ArgumentError> take_scope(Collected& flags) {
  const std::optional<std::string> word = flags.take("--target-scope");
  if (!word) return std::optional<TargetScope>();
  if (const auto scope = parse_scope(*word)) return std::optional<TargetScope>(*scope);
  std::vector<std::string> known;
  for (TargetScope scope : declaration().scopes) known.emplace_back(scope_name(scope));
  return fail(*word + " is not a target scope this build knows; it knows " + join(known, ", "),
              ReasonCode::unsupported_operation);
}

Result<ProviderRequest, ArgumentError> take_request(ProviderCommand command, Collected& flags,
                                                    std::vector<std::string> passed_through) {
  switch (command) {
    case ProviderCommand::provider_info:
      return ProviderRequest(ProviderInfoRequest{});
    case ProviderCommand::validate_bundle: {
      ValidateBundleRequest request;
      request.target = flags.take_required("--target");
      VELK_ASSIGN(std::optional<BundleClaim> claim, take_claim(flags));
      if (!claim) return fail("validate-bundle requires a bundle");
      request.claim = std::move(*claim);
      return ProviderRequest(std::move(request));
    }
    case ProviderCommand::plan_operation: {
      PlanOperationRequest request;
      request.target = flags.take_required("--target");
      const std::string operation = flags.take_required("--operation");
      const std::optional<Operation> parsed = parse_operation(operation);
      if (!parsed)
        return fail(operation + " is not an operation this protocol defines",
                    ReasonCode::unsupported_operation);
      request.operation = *parsed;
      request.provider_release_digest = flags.take_required("--provider-release-digest");
      request.operation_id = flags.take_required("--operation-id");
      request.expires_at = flags.take_required("--expires-at");
      request.backup_ref = flags.take("--backup-ref");
      request.permission_profile = flags.take("--permission-profile");
      VELK_ASSIGN(request.bundle, take_claim(flags));
      VELK_ASSIGN(request.prefix, take_prefix(flags));
      request.software_version = flags.take("--software-version");
      VELK_ASSIGN(request.target_scope, take_scope(flags));
      return ProviderRequest(std::move(request));
    }
    case ProviderCommand::apply_operation: {
      ApplyOperationRequest request;
      request.target = flags.take_required("--target");
      request.plan_path = flags.take_required("--plan");
      request.plan_digest = flags.take_required("--plan-digest");
      request.provider_release_digest = flags.take_required("--provider-release-digest");
      VELK_ASSIGN(request.bundle, take_claim(flags));
      VELK_ASSIGN(request.prefix, take_prefix(flags));
      request.software_artifacts = flags.take_all(kSoftwareArtifact);
      return ProviderRequest(std::move(request));
    }
    case ProviderCommand::recover_operation:
      return ProviderRequest(RecoverOperationRequest{flags.take_required("--target")});
    case ProviderCommand::status: {
      StatusRequest request;
      request.target = flags.take_required("--target");
      VELK_ASSIGN(request.target_scope, take_scope(flags));
      return ProviderRequest(std::move(request));
    }
    case ProviderCommand::launch: {
      LaunchRequest request;
      request.target = flags.take_required("--target");
      VELK_ASSIGN(std::optional<std::string> prefix, take_prefix(flags));
      request.prefix = std::move(prefix).value();  // required, so present
      request.args = std::move(passed_through);
      return ProviderRequest(std::move(request));
    }
  }
  std::abort();
}

}  // namespace

std::optional<uint64_t> parse_byte_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

Result<ProviderRequest, ArgumentError> parse_provider_request(ProviderCommand command,
                                                              std::span<const std::string> args) {
  const std::string word(provider_command_name(command));
  if (command == ProviderCommand::provider_info) {
    if (!args.empty()) return fail(word + " takes no arguments");
    return ProviderRequest(ProviderInfoRequest{});
  }

  // Everything after the first bare "--" passes through untouched.
  const auto bare = std::find(args.begin(), args.end(), std::string("--"));
  const std::span<const std::string> own(args.begin(), bare);
  std::vector<std::string> passed_through;
  if (bare != args.end()) passed_through.assign(bare + 1, args.end());

  Collected flags;
  for (size_t i = 0; i < own.size(); ++i) {
    const std::string& arg = own[i];
    if (arg == "--json") {
      if (flags.json) return fail("--json was given twice");
      flags.json = true;
      continue;
    }
    if (!is_flag(arg)) return fail(arg + " is not a flag");
    if (i + 1 == own.size() || is_flag(own[i + 1])) return fail(arg + " has no value");
    std::vector<std::string>& values = flags.values[arg];
    if (!values.empty() && arg != kSoftwareArtifact) return fail(arg + " was given twice");
    values.push_back(own[++i]);
  }

  const ProviderCommandRow& row = provider_command_row(command);
  std::vector<std::string> missing;
  for (std::string_view flag : row.required) {
    const bool present = flag == "--json" ? flags.json : flags.has(flag);
    if (!present) missing.emplace_back(flag);
  }
  if (!missing.empty())
    return fail(word + " is missing " + join(missing, ", ") + "; run `" + word +
                " --help` for what it takes");

  VELK_ASSIGN(ProviderRequest request, take_request(command, flags, std::move(passed_through)));
  if (!flags.values.empty())
    return fail(flags.values.begin()->first + " is not an argument of this command");
  return request;
}

}  // namespace velk
