#include "consumer.h"

#include <algorithm>

namespace velk::testing {

void expect_output(const RunResult& r, const std::string& out) {
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, out);
}

void expect_failure(const RunResult& r, const std::string& message, const std::string& out) {
  EXPECT_EQ(r.exit_code, 1) << message;
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, "velk-setup-system: " + message + "\n");
}

std::string refusal_line(const std::string& reason, const std::string& detail) {
  return R"({"state":"refused","rejected":true,"reason":")" + reason + R"(","detail":")" +
         detail + "\"}\n";
}

Words tree_entries(const std::string& dir) {
  Words out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    out.push_back(e.path().string().substr(dir.size()));
  std::sort(out.begin(), out.end());
  return out;
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string path = e.path().string();
    if (e.is_symlink()) out[path] = "-> " + std::filesystem::read_symlink(e.path()).string();
    else if (e.is_directory()) out[path] = "<dir>";
    else out[path] = read_text(path);
  }
  return out;
}

bool strace_runs() {
  return ::access(kStrace.c_str(), X_OK) == 0 &&
         run_program(kStrace, {"-qq", "-o", "/dev/null", "/bin/true"}).exit_code == 0;
}

Words bundle_flags(const BundleClaim& claim) {
  return {"--bundle",          claim.path,          "--bundle-format", claim.format,
          "--bundle-digest",   claim.bundle_digest, "--artifact-digest", claim.artifact_digest,
          "--bundle-size",     std::to_string(claim.size)};
}

Json provider_json(const Words& args) {
  const RunResult r = run_velk(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(!r.out.empty() && r.out.find('\n') == r.out.size() - 1) << r.out;
  auto parsed = parse_json(r.out);
  EXPECT_TRUE(parsed.ok()) << r.out;
  return parsed.ok() ? *parsed : Json();
}

Words plan_words(const std::string& target, const std::string& operation, const Words& extra,
                 const std::string& expires_at) {
  Words args = {"plan-operation", "--target", target, "--json", "--operation", operation,
                "--operation-id", "op-" + operation, "--expires-at", expires_at,
                "--provider-release-digest", "release-1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

Words apply_words(const std::string& target, const std::string& plan_path,
                  const std::string& digest, const Words& extra) {
  Words args = {"apply-operation", "--target", target, "--json", "--plan", plan_path,
                "--plan-digest", digest, "--provider-release-digest", "release-1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

Json plan_request(const std::string& target, const std::string& operation, const Words& extra,
                  const std::string& expires_at) {
  return provider_json(plan_words(target, operation, extra, expires_at));
}

std::string store_plan(const Json& envelope, const std::string& path) {
  auto text = canonical_json(envelope.at("plan"));
  EXPECT_TRUE(text.ok());
  write_text(path, text.ok() ? *text : "");
  return path;
}

Json apply_request(const std::string& target, const std::string& plan_path,
                   const std::string& digest, const Words& extra) {
  return provider_json(apply_words(target, plan_path, digest, extra));
}

Json plan_and_apply(const std::string& target, const std::string& operation,
                    const Words& plan_extra, const Words& apply_extra,
                    const std::string& plan_path) {
  const Json envelope = plan_request(target, operation, plan_extra);
  EXPECT_EQ(envelope.value("state", ""), "planned") << envelope.dump();
  return apply_request(target, store_plan(envelope, plan_path),
                       envelope.value("plan_digest", ""), apply_extra);
}

Json install_user_root(const std::string& target, const BundleClaim& claim,
                       const std::string& plan_path) {
  Words flags = bundle_flags(claim);
  flags.insert(flags.end(), {"--target-scope", "user_root"});
  return plan_and_apply(target, "install", flags, bundle_flags(claim), plan_path);
}

bool publish_prepared(const std::string& target, const std::string& operation_id,
                      const std::string& operation, const std::optional<std::string>& slot,
                      std::optional<TargetScope> scope) {
  const Journal journal{1, "prepared", operation_id, operation, "sha256:p", "sha256:t", slot, scope};
  return publish_journal(dir_of(target + "/.velk-setup-system"), journal).ok();
}

std::string status_identity(const std::string& target) {
  return provider_json({"status", "--target", target, "--json"})
      .value("target_identity_digest", std::string());
}

std::string refusal_of(const Json& document) {
  if (!document.is_object() || document.value("state", "") != "refused") return "";
  return document.value("reason", "") + ": " + document.value("detail", "");
}

std::string keys_of(const Json& object) {
  std::string keys;
  for (const auto& [key, value] : object.items()) keys += key + " ";
  return keys;
}

}  // namespace velk::testing
