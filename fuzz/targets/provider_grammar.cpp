// The provider command grammar (parse_provider_command, then
// parse_provider_request) on the input split at NUL bytes. A refusal has a
// message and names no code but unsupported_operation; an accepted request,
// written back as arguments, parses again as a request written the same.
#include <span>
#include <variant>

#include "cli/provider_grammar.h"
#include "protocol/request.h"
#include "support/fuzz_support.h"

namespace {

using Args = std::vector<std::string>;

// A request as arguments: "--json", its target, then each field under its flag.
struct Writer {
  Args args;
  void add(const char* flag, const std::string& value) {
    args.push_back(flag);
    args.push_back(value);
  }
  void add(const char* flag, const std::optional<std::string>& value) {
    if (value) add(flag, *value);
  }
  void add(const std::optional<BundleClaim>& claim) {
    if (!claim) return;
    add("--bundle", claim->path);
    add("--bundle-format", claim->format);
    add("--bundle-digest", claim->bundle_digest);
    add("--artifact-digest", claim->artifact_digest);
    add("--bundle-size", std::to_string(claim->size));
  }
  void add(const std::optional<TargetScope>& scope) {
    if (scope) add("--target-scope", std::string(scope_name(*scope)));
  }

  void operator()(const ProviderInfoRequest&) {}
  template <class Request>
  void operator()(const Request& r) {
    args.push_back("--json");
    add("--target", r.target);
    fields(r);
  }
  void fields(const ValidateBundleRequest& r) { add(r.claim); }
  void fields(const PlanOperationRequest& r) {
    add("--operation", std::string(operation_name(r.operation)));
    add("--provider-release-digest", r.provider_release_digest);
    add("--operation-id", r.operation_id);
    add("--expires-at", r.expires_at);
    add("--backup-ref", r.backup_ref);
    add("--permission-profile", r.permission_profile);
    add(r.bundle);
    add("--prefix", r.prefix);
    add("--software-version", r.software_version);
    add(r.target_scope);
  }
  void fields(const ApplyOperationRequest& r) {
    add("--plan", r.plan_path);
    add("--plan-digest", r.plan_digest);
    add("--provider-release-digest", r.provider_release_digest);
    add(r.bundle);
    add("--prefix", r.prefix);
    for (const std::string& a : r.software_artifacts) add("--software-artifact", a);
  }
  void fields(const RecoverOperationRequest&) {}
  void fields(const StatusRequest& r) { add(r.target_scope); }
  void fields(const LaunchRequest& r) {
    add("--prefix", r.prefix);
    args.push_back("--");
    args.insert(args.end(), r.args.begin(), r.args.end());
  }
};

// Two requests of one command are the same exactly when written the same.
Args written(const ProviderRequest& request) {
  Writer writer;
  std::visit(writer, request);
  return writer.args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Args args = split_arguments(as_text(data, size));
  if (args.empty()) return 0;
  const std::optional<ProviderCommand> command = parse_provider_command(args[0]);
  if (!command) return 0;
  VELK_FUZZ_CHECK(provider_command_name(*command) == args[0], args[0]);
  const std::span<const std::string> rest(args.begin() + 1, args.end());
  const auto request = parse_provider_request(*command, rest);
  if (refused(request, {ReasonCode::unsupported_operation})) return 0;
  VELK_FUZZ_CHECK(command_of(*request) == *command, args[0]);
  if (const auto* plan = std::get_if<PlanOperationRequest>(&*request))
    if (plan->prefix) VELK_FUZZ_CHECK(plan->prefix->starts_with("/"), *plan->prefix);
  if (const auto* launch = std::get_if<LaunchRequest>(&*request))
    VELK_FUZZ_CHECK(launch->prefix.starts_with("/"), launch->prefix);

  const Args back = written(*request);
  const ProviderRequest again = must(parse_provider_request(*command, back));
  VELK_FUZZ_CHECK(again.index() == request->index() && written(again) == back,
                  "the request written back parses differently");
  return 0;
}
