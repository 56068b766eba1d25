// Shared by the end-to-end tests: checks of a run's streams, a provider-protocol consumer.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle/claim.h"
#include "core/digest.h"
#include "core/fs.h"
#include "core/json.h"
#include "store/journal.h"
#include "store/pool.h"
#include "store/state.h"
#include "store/target.h"
#include "support/bundle_writer.h"
#include "support/runner.h"
#include "support/software_prefix.h"
#include "support/temp_dir.h"
#include "support/write_path.h"

namespace velk::testing {

using Words = std::vector<std::string>;

// Exit 0, nothing on standard error, exactly `out` on standard output.
void expect_output(const RunResult& r, const std::string& out);
// Exit 1, exactly `out` (usually nothing) and "velk-setup-system: message".
void expect_failure(const RunResult& r, const std::string& message, const std::string& out = "");

// The line a provider command prints for a refusal (no JSON escaping).
std::string refusal_line(const std::string& reason, const std::string& detail);

// The paths under `dir`, relative to it and sorted: "nothing was created".
Words tree_entries(const std::string& dir);

// Every entry below `dir` with what it holds: what a refused or hostile run must keep.
std::map<std::string, std::string> snapshot(const std::string& dir);

Words bundle_flags(const BundleClaim& claim);

// The setups catalog in the source tree.
inline const std::string kCatalog = std::string(VELK_SOURCE_DIR) + "/setups/velk-build";

// Where the system-call tests find strace, and whether it can trace here.
inline const std::string kStrace = "/usr/bin/strace";
bool strace_runs();

// The arguments the requests below run (operation id op-<operation>, fixed release).
Words plan_words(const std::string& target, const std::string& operation, const Words& extra = {},
                 const std::string& expires_at = "2099-12-31T23:59:59.999Z");
Words apply_words(const std::string& target, const std::string& plan_path,
                  const std::string& digest, const Words& extra = {});

// Runs a provider command that must answer with one JSON line and exit 0.
Json provider_json(const Words& args);

Json plan_request(const std::string& target, const std::string& operation,
                  const Words& extra = {},
                  const std::string& expires_at = "2099-12-31T23:59:59.999Z");

std::string store_plan(const Json& envelope, const std::string& path);

Json apply_request(const std::string& target, const std::string& plan_path,
                   const std::string& digest, const Words& extra = {});

// Plans, stores the plan canonically at `plan_path` and applies it.
Json plan_and_apply(const std::string& target, const std::string& operation,
                    const Words& plan_extra, const Words& apply_extra,
                    const std::string& plan_path);

// Installs `claim`, bound to user_root, into `target` over the wire.
Json install_user_root(const std::string& target, const BundleClaim& claim,
                       const std::string& plan_path);

// A prepared journal in `target`: what a change killed after it leaves.
bool publish_prepared(const std::string& target, const std::string& operation_id,
                      const std::string& operation, const std::optional<std::string>& slot,
                      std::optional<TargetScope> scope = std::nullopt);

std::string status_identity(const std::string& target);

// The reason and detail of a refusal, "" when the document is no refusal.
std::string refusal_of(const Json& document);

// The member names in order, each followed by a space.
std::string keys_of(const Json& object);

// A consumer with a target and a side directory for bundles and plans.
struct Consumer {
  TempDir t;     // the target
  TempDir side;  // bundles and stored plans
  int files = 0;

  std::string next(const std::string& stem) { return side / (stem + std::to_string(++files)); }
  BundleClaim bundle(const std::map<std::string, FileSpec>& files,
                     std::optional<TargetScope> scope = std::nullopt) {
    return write_bundle(next("b") + ".zip", make_bundle(files, scope));
  }
  Json run(const std::string& operation, const Words& plan_flags = {},
           const Words& apply_flags = {}) {
    return plan_and_apply(t.path(), operation, plan_flags, apply_flags, next("plan"));
  }
  Json install_user_root(const std::map<std::string, FileSpec>& files) {
    return testing::install_user_root(t.path(), bundle(files, TargetScope::user_root), next("plan"));
  }
  Json apply(const Json& envelope, const Words& extra = {}) {
    return apply_request(t.path(), store_plan(envelope, next("plan")),
                         envelope.value("plan_digest", ""), extra);
  }
  // validate-bundle answers the claim, then the verdict, and touches nothing.
  void expect_validated(const BundleClaim& claim, const std::string& verdict) {
    Words args = {"validate-bundle", "--target", t / "absent", "--json"};
    for (const std::string& flag : bundle_flags(claim)) args.push_back(flag);
    expect_output(run_velk(args),
                  R"({"bundle_format":")" + claim.format + R"(","bundle_digest":")" +
                      claim.bundle_digest + R"(","artifact_digest":")" + claim.artifact_digest +
                      R"(","bundle_size":)" + std::to_string(claim.size) + "," + verdict + "}\n");
    EXPECT_FALSE(exists(t / "absent"));
  }
  // Pool entries, complete or not.
  size_t slots() const { return list_directory(t / ".velk-setup-system/backups").value().size(); }
};

}  // namespace velk::testing
