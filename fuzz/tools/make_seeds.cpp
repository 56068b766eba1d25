// Writes the seed corpora that come from the program itself: bundles made
// the way the tests make them, and the plans, state files, slot records,
// journal and installation record that real runs of the built program (and
// of its software install) leave behind. scripts in fuzz/make-seeds.sh run
// it once and add the archives, argument lists and texts made by hand;
// the files it writes are committed, so nothing here runs when fuzzing.
//
// Usage: velk-fuzz-make-seeds <seeds-dir>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "core/digest.h"
#include "core/fs.h"
#include "core/json.h"
#include "product/declaration.h"
#include "support/bundle_writer.h"
#include "support/runner.h"
#include "support/software_prefix.h"
#include "support/temp_dir.h"

using namespace velk;
using namespace velk::testing;

namespace {

std::string out_dir;
using Words = std::vector<std::string>;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "make-seeds: %s\n", what.c_str());
  std::exit(1);
}

void seed(const std::string& target, const std::string& name, std::string_view bytes) {
  const std::string dir = out_dir + "/" + target;
  make_dirs(dir);
  write_text(dir + "/" + name, bytes);
}

Json provider(const Words& args) {
  const RunResult r = run_velk(args);
  if (r.exit_code != 0) die("velk-setup-system " + args[0] + " failed: " + r.err);
  auto document = parse_json(r.out);
  if (!document.ok()) die("velk-setup-system " + args[0] + " printed no JSON: " + r.out);
  return *document;
}

void user(const Words& args) {
  const RunResult r = run_velk(args);
  if (r.exit_code != 0) die("velk-setup-system " + args[0] + " failed: " + r.err);
}

Words claim_flags(const BundleClaim& c) {
  return {"--bundle", c.path, "--bundle-format", c.format, "--bundle-digest", c.bundle_digest,
          "--artifact-digest", c.artifact_digest, "--bundle-size", std::to_string(c.size)};
}

const char* kExpiry = "2099-12-31T23:59:59.999Z";

// plan-operation; returns the envelope.
Json plan(const std::string& target, const std::string& operation, const Words& extra) {
  Words args = {"plan-operation", "--target", target, "--json", "--operation", operation,
                "--operation-id", "op-" + operation, "--expires-at", kExpiry,
                "--provider-release-digest", "release-1"};
  args.insert(args.end(), extra.begin(), extra.end());
  const Json envelope = provider(args);
  if (envelope.value("state", "") != "planned") die("not planned: " + envelope.dump());
  return envelope;
}

// Stores the plan canonically as a consumer does and applies it.
Json apply(const std::string& target, const Json& envelope, const std::string& plan_path,
           const Words& extra) {
  auto text = canonical_json(envelope.at("plan"));
  if (!text.ok()) die("plan not canonical");
  write_text(plan_path, *text);
  Words args = {"apply-operation", "--target", target, "--json", "--plan", plan_path,
                "--plan-digest", envelope.value("plan_digest", ""), "--provider-release-digest",
                "release-1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return provider(args);
}

std::string only_slot_record(const std::string& target, const std::string& slot) {
  return read_text(target + "/.velk-setup-system/backups/" + slot + "/slot.json");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) die("usage: velk-fuzz-make-seeds <seeds-dir>");
  out_dir = argv[1];
  TempDir work;

  // Bundles, as the tests build them, for each scope.
  const BundleParts global_bundle = make_bundle({{"AGENTS.md", {"# Working rules\n"}},
                                                 {"skills/review/SKILL.md", {"review\n"}},
                                                 {"hooks/check.sh", {"#!/bin/sh\n", 0755}}});
  const BundleParts user_bundle = make_bundle(
      {{"skills/a/SKILL.md", {"a\n"}}, {"skills/b/notes.md", {"b\n"}}}, TargetScope::user_root);
  const BundleParts project_bundle =
      make_bundle({{"AGENTS.md", {"project\n"}}, {"config.toml", {"x = 1\n"}}},
                  TargetScope::project);
  const BundleParts small_bundle = make_bundle({{"config.toml", {""}}});
  const std::pair<const char*, const BundleParts*> bundles[] = {
      {"global.zip", &global_bundle}, {"user_root.zip", &user_bundle},
      {"project.zip", &project_bundle}, {"small.zip", &small_bundle}};
  for (const auto& [name, parts] : bundles) {
    seed("bundle_container", name, parts->bytes());
    seed("bundle_validation", name, parts->bytes());
    seed("bundle_manifest", std::string(name) + ".json", parts->manifest_bytes());
  }
  seed("bundle_container", "empty.zip", serialise_zip(ZipArchive{}));
  seed("bundle_manifest", "passport.json", global_bundle.passport);
  seed("canonical_json", "bundle.json", global_bundle.manifest_bytes());

  // A target with a setup installed by the typed command: its state file,
  // its slot record, and plans of every shape made against it.
  const std::string target = work / "target";
  make_dirs(target);
  user({"install", "--target", target, "baseline"});
  const std::string state = read_text(target + "/MIREL-VELK-PROVIDER.json");
  seed("state_file", "global.json", state);
  seed("canonical_json", "state.json", state);
  seed("slot_record", "install.json", only_slot_record(target, "slot-000000000001"));

  const BundleClaim claim = write_bundle(work / "global.zip", global_bundle);
  seed("plan_artifact", "install.json",
       plan(target, "install", claim_flags(claim)).at("plan").dump());
  seed("plan_artifact", "remove.json", plan(target, "remove", {}).at("plan").dump());
  seed("plan_artifact", "backup.json", plan(target, "backup", {}).at("plan").dump());
  const Json restore = plan(target, "restore", {"--backup-ref", "slot-000000000001"});
  seed("plan_artifact", "restore.json", restore.at("plan").dump());
  seed("canonical_json", "restore-plan.json", restore.at("plan").dump());
  const std::string prefix = work / "prefix";
  make_dirs(work / "home");
  seed("plan_artifact", "software_install.json",
       plan(work / "home", "software_install", {"--prefix", prefix, "--software-version", "1.0.18"})
           .at("plan")
           .dump());

  // A user_root target: an install through plan and apply, then an install
  // whose write fails after its journal was published, which leaves the
  // journal for recovery.
  const std::string root = work / "user_root";
  write_text(root + "/skills/other/tool.md", "another product\n");
  const BundleClaim user_claim = write_bundle(work / "user_root.zip", user_bundle);
  Words flags = claim_flags(user_claim);
  flags.insert(flags.end(), {"--target-scope", "user_root"});
  const Json planned = plan(root, "install", flags);
  seed("plan_artifact", "install_user_root.json", planned.at("plan").dump());
  const Json installed = apply(root, planned, work / "plan1.json", claim_flags(user_claim));
  if (installed.value("state", "") != "verified") die("user_root install: " + installed.dump());
  seed("state_file", "user_root.json", read_text(root + "/MIREL-VELK-PROVIDER.json"));
  seed("slot_record", "user_root.json", only_slot_record(root, "slot-000000000001"));

  const BundleParts clash = make_bundle(
      {{"skills/aaa/SKILL.md", {"written first\n"}}, {"skills/other", {"a file\n"}}},
      TargetScope::user_root);
  const BundleClaim clash_claim = write_bundle(work / "clash.zip", clash);
  flags = claim_flags(clash_claim);
  flags.insert(flags.end(), {"--target-scope", "user_root"});
  const Json failed = apply(root, plan(root, "install", flags), work / "plan2.json",
                            claim_flags(clash_claim));
  if (failed.value("state", "") != "refused") die("the clashing install: " + failed.dump());
  const std::string journal = read_text(root + "/.velk-setup-system/journal.json");
  seed("journal", "prepared_user_root.json", journal);
  seed("canonical_json", "journal.json", journal);

  // The installation record a software install writes.
  auto software = install_version(prefix, "1.0.18");
  if (!software.ok()) die("software install: " + software.error().full());
  seed("installation_record", "1.0.18.json", read_text(prefix + "/bin/.velk.manifest.json"));
  return 0;
}
