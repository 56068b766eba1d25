// The grammar of provider commands. The input is split at NUL bytes into
// arguments; the first is the command word (parse_provider_command), the
// rest go to parse_provider_request. A refusal has a message and, when it
// names a code, unsupported_operation (the only code the grammar answers
// with). An accepted request, written back as arguments ("--json", each
// field under its flag, the pass-through arguments after "--"), parses
// again as a request written the same.
#include <span>
#include <variant>

#include "cli/provider_grammar.h"
#include "protocol/request.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {

using Args = std::vector<std::string>;

void add(Args& args, const char* flag, const std::string& value) {
  args.push_back(flag);
  args.push_back(value);
}

void add(Args& args, const char* flag, const std::optional<std::string>& value) {
  if (value) add(args, flag, *value);
}

void add_claim(Args& args, const std::optional<BundleClaim>& claim) {
  if (!claim) return;
  add(args, "--bundle", claim->path);
  add(args, "--bundle-format", claim->format);
  add(args, "--bundle-digest", claim->bundle_digest);
  add(args, "--artifact-digest", claim->artifact_digest);
  add(args, "--bundle-size", std::to_string(claim->size));
}

void add_scope(Args& args, const std::optional<TargetScope>& scope) {
  if (scope) add(args, "--target-scope", std::string(scope_name(*scope)));
}

struct Writer {
  Args args;
  void operator()(const ProviderInfoRequest&) {}
  void operator()(const ValidateBundleRequest& r) {
    args.push_back("--json");
    add(args, "--target", r.target);
    add_claim(args, r.claim);
  }
  void operator()(const PlanOperationRequest& r) {
    args.push_back("--json");
    add(args, "--target", r.target);
    add(args, "--operation", std::string(operation_name(r.operation)));
    add(args, "--provider-release-digest", r.provider_release_digest);
    add(args, "--operation-id", r.operation_id);
    add(args, "--expires-at", r.expires_at);
    add(args, "--backup-ref", r.backup_ref);
    add(args, "--permission-profile", r.permission_profile);
    add_claim(args, r.bundle);
    add(args, "--prefix", r.prefix);
    add(args, "--software-version", r.software_version);
    add_scope(args, r.target_scope);
  }
  void operator()(const ApplyOperationRequest& r) {
    args.push_back("--json");
    add(args, "--target", r.target);
    add(args, "--plan", r.plan_path);
    add(args, "--plan-digest", r.plan_digest);
    add(args, "--provider-release-digest", r.provider_release_digest);
    add_claim(args, r.bundle);
    add(args, "--prefix", r.prefix);
    for (const std::string& a : r.software_artifacts) add(args, "--software-artifact", a);
  }
  void operator()(const RecoverOperationRequest& r) {
    args.push_back("--json");
    add(args, "--target", r.target);
  }
  void operator()(const StatusRequest& r) {
    args.push_back("--json");
    add(args, "--target", r.target);
    add_scope(args, r.target_scope);
  }
  void operator()(const LaunchRequest& r) {
    args.push_back("--json");
    add(args, "--target", r.target);
    add(args, "--prefix", r.prefix);
    args.push_back("--");
    args.insert(args.end(), r.args.begin(), r.args.end());
  }
};

// The request as arguments: each field under its flag, so two requests of
// one command are the same exactly when they are written the same.
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
  auto request = parse_provider_request(*command, rest);
  if (!request.ok()) {
    const ArgumentError& e = request.error();
    VELK_FUZZ_CHECK(!e.message.empty(), "an argument error without a message");
    if (e.code) VELK_FUZZ_CHECK(*e.code == ReasonCode::unsupported_operation, e.message);
    return 0;
  }
  VELK_FUZZ_CHECK(command_of(*request) == *command, args[0]);
  if (const auto* plan = std::get_if<PlanOperationRequest>(&*request))
    if (plan->prefix) VELK_FUZZ_CHECK(plan->prefix->starts_with("/"), *plan->prefix);
  if (const auto* launch = std::get_if<LaunchRequest>(&*request))
    VELK_FUZZ_CHECK(launch->prefix.starts_with("/"), launch->prefix);

  const Args back = written(*request);
  auto again = parse_provider_request(*command, back);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? "" : again.error().message);
  VELK_FUZZ_CHECK(again->index() == request->index() && written(*again) == back,
                  "the request written back parses differently");
  return 0;
}
