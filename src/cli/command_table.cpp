#include "cli/command_table.h"

#include <array>
#include <cstdlib>

namespace velk {
namespace {

constexpr std::string_view kPrefixHelp = "where a program lives; required by every software_* operation";
constexpr std::string_view kBundleHelp = "the five bundle flags, for install and replace";
// Stands for the five bundle flags in the help text.
constexpr std::string_view kBundleFlags = kBundleFlagsEntry;

constexpr std::array<std::string_view, 7> kValidateRequired = {
    "--target", "--json", "--bundle", "--bundle-format", "--bundle-digest", "--artifact-digest",
    "--bundle-size"};
constexpr std::array<std::string_view, 6> kPlanRequired = {
    "--target", "--json", "--operation", "--provider-release-digest", "--operation-id",
    "--expires-at"};
constexpr std::array<std::string_view, 5> kApplyRequired = {
    "--target", "--json", "--plan", "--plan-digest", "--provider-release-digest"};
constexpr std::array<std::string_view, 2> kTargetAndJson = {"--target", "--json"};
constexpr std::array<std::string_view, 3> kLaunchRequired = {"--target", "--json", "--prefix"};

constexpr std::array<OptionalFlag, 6> kPlanOptional = {{
    {"--prefix", kPrefixHelp},
    {"--backup-ref", "which slot a restore returns to"},
    {"--permission-profile", "a profile this build declares"},
    {"--software-version", "exactly one pinned version, when not the current one"},
    {kBundleFlags, kBundleHelp},
    {"--target-scope", "which scope this target is; accepted and not yet acted on"},
}};
constexpr std::array<OptionalFlag, 3> kApplyOptional = {{
    {"--prefix", kPrefixHelp},
    {"--software-artifact", "one per software_artifacts entry, in the plan's order"},
    {kBundleFlags, kBundleHelp},
}};
constexpr std::array<OptionalFlag, 1> kStatusOptional = {{
    {"--target-scope",
     "which scope to measure the target under; absent, the target's own record decides"},
}};
constexpr std::array<OptionalFlag, 1> kLaunchOptional = {{
    {kPassThroughEntry, "everything after a bare -- goes to the product verbatim"},
}};

const ProviderCommandRow kProviderInfo{
    "Report capabilities. Takes no arguments at all, not even --json.", {}, {}};
const ProviderCommandRow kValidateBundle{
    "Check a bundle against the exact claim that named it. Touches nothing.", kValidateRequired,
    {}};
const ProviderCommandRow kPlanOperation{
    "Produce a plan. Always pure: reads the target and the local disk, opens no socket.",
    kPlanRequired, kPlanOptional};
const ProviderCommandRow kApplyOperation{
    "Apply one exact plan under the target lock. --plan is the plan object, written "
    "canonically -- not the envelope the planner printed around it.",
    kApplyRequired, kApplyOptional};
const ProviderCommandRow kRecoverOperation{
    "Resolve an interrupted operation. Reads the journal to know what it is resolving.",
    kTargetAndJson, {}};
const ProviderCommandRow kStatus{"Report the target's current state. Never changes it.",
                                 kTargetAndJson, kStatusOptional};
const ProviderCommandRow kLaunch{
    "Start the exact executable a software install placed. Never a name found on PATH.",
    kLaunchRequired, kLaunchOptional};

}  // namespace

const ProviderCommandRow& provider_command_row(ProviderCommand command) {
  switch (command) {
    case ProviderCommand::provider_info: return kProviderInfo;
    case ProviderCommand::validate_bundle: return kValidateBundle;
    case ProviderCommand::plan_operation: return kPlanOperation;
    case ProviderCommand::apply_operation: return kApplyOperation;
    case ProviderCommand::recover_operation: return kRecoverOperation;
    case ProviderCommand::status: return kStatus;
    case ProviderCommand::launch: return kLaunch;
  }
  std::abort();
}

std::vector<std::string_view> provider_command_flags(ProviderCommand command) {
  const ProviderCommandRow& row = provider_command_row(command);
  std::vector<std::string_view> flags(row.required.begin(), row.required.end());
  for (const OptionalFlag& option : row.optional) {
    if (option.flag == kBundleFlagsEntry)
      flags.insert(flags.end(), kBundleClaimFlags.begin(), kBundleClaimFlags.end());
    else if (option.flag != kPassThroughEntry)
      flags.push_back(option.flag);
  }
  return flags;
}

}  // namespace velk
