#include "cli/adopt_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "cli/legacy_stamp.h"
#include "cli/operation_id.h"
#include "core/digest.h"
#include "core/fs.h"
#include "core/text.h"
#include "product/catalog.h"
#include "product/declaration.h"
#include "product/facts.h"
#include "product/profile.h"
#include "store/perform.h"
#include "store/store.h"

namespace velk {
namespace {

constexpr std::string_view kAdoptedDir = "adopted";

struct ReadStamp {
  LegacyStamp stamp;
  std::string digest;  // of the stamp's bytes, to notice a change under the lock
};

// The stamp's bytes, or nullopt when there is none. A link in its place is
// not followed: the stamp must be the target's own file.
Result<std::optional<std::string>> stamp_bytes(const std::string& path) {
  int err = 0;
  const auto st = lstat_path(path, &err);
  if (!st) {
    if (err == 0) return std::optional<std::string>{};
    return system_error(ErrorKind::state_unavailable, path + " cannot be read", err);
  }
  if (S_ISLNK(st->st_mode))
    return with_cause(ErrorKind::state_unavailable, path + " cannot be read",
                      "it is a symbolic link, which this build does not follow inside a target");
  auto text = read_file(path, path + " cannot be read");
  if (!text.ok()) return std::move(text).error();
  return std::optional<std::string>(std::move(*text));
}

Result<ReadStamp> read_stamp(const TargetStore& store) {
  const ProductDeclaration& d = declaration();
  const std::string path = path_join(store.target_path, d.legacy_stamp_name);
  VELK_ASSIGN(const std::optional<std::string> bytes, stamp_bytes(path));
  if (!bytes)
    return make_error(ErrorKind::unsupported_operation,
                      store.target_path + " holds no " + std::string(d.legacy_stamp_name) +
                          "; there is nothing to adopt");
  auto parsed = parse_legacy_stamp(*bytes);
  if (!parsed.ok())
    return with_cause(ErrorKind::unsupported_operation,
                      path + " is not a stamp this build understands", parsed.error());
  if (parsed->found_schema)
    return make_error(ErrorKind::unsupported_operation,
                      path + " is schema " + std::to_string(*parsed->found_schema) +
                          ", and this build reads " + std::to_string(kLegacyStampSchema) +
                          "; adopting a record it cannot read would be claiming files it did "
                          "not check");
  return ReadStamp{std::move(*parsed->stamp), digest_bytes(*bytes)};
}

Status check_claims(const LegacyStamp& stamp) {
  const ProductDeclaration& d = declaration();
  for (const auto& [path, recorded] : stamp.managed_files) {
    if (claim_is_owned(path)) continue;
    return make_error(ErrorKind::unsupported_operation,
                      std::string(d.legacy_stamp_name) + " claims " + quoted_form(path) +
                          ", which " + std::string(d.provider_id) +
                          " does not own; adopting it would record ownership of files no "
                          "             later operation of this provider would write, restore "
                          "or remove");
  }
  return {};
}

// An adoption records the target under the global scope. A target this
// provider manages under user_root is a root other products share, where it
// answers only for the files it recorded writing; recording it globally
// would make a later remove take every owned surface whole. Refused.
Status check_scope(const std::string& target, const StateRead& state) {
  if (!state.present() || recorded_scope(state.state) != TargetScope::user_root) return {};
  const ProductDeclaration& d = declaration();
  return make_error(ErrorKind::unsupported_operation,
                    target + " is managed under target_scope " +
                        std::string(scope_name(TargetScope::user_root)) + ", where " +
                        std::string(d.provider_id) +
                        " answers only for the files it recorded writing; adopting would record "
                        "it under the global scope, and a later remove would take " +
                        join(d.owned_paths(), ", ") +
                        " whole, other products' files among them. No effect was made");
}

// The definition digest of the setup when this build's catalog ships it.
// The catalog only adds that digest to the record: a catalog that cannot be
// opened or read leaves it out rather than blocking the adoption.
std::optional<std::string> catalog_definition_digest(const std::string& setup_id) {
  auto catalog = open_catalog();
  if (!catalog.ok()) return std::nullopt;
  auto setups = read_setups(*catalog);
  if (!setups.ok()) return std::nullopt;
  for (const auto& setup : *setups)
    if (setup.id == setup_id) return setup.definition_digest;
  return std::nullopt;
}

Status flush_directory(const std::string& dir) {
  if (const int e = sync_directory(dir); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot flush " + dir, e);
  return {};
}

struct AdoptionPlan {
  Json artifact;
  PlanFacts facts;
  std::string kept_at;  // where the stamp goes
};

Result<AdoptionPlan> build_plan(const TargetStore& store, const ReadStamp& read,
                                const std::string& identity,
                                const std::optional<std::string>& definition_digest,
                                const std::vector<std::string>& claimed) {
  const ProductDeclaration& d = declaration();
  const std::string adopted_dir = path_join(store.control_dir, kAdoptedDir);
  AdoptionPlan plan;
  plan.kept_at = path_join(adopted_dir, d.legacy_stamp_name);

  VELK_ASSIGN(const std::string build_digest, provider_build_digest());
  VELK_ASSIGN(const std::string profile, profile_digest(d.main_profile));
  const std::string operation_id = human_operation_id_now(identity);

  Json effects = Json::array();
  effects.push_back("capture the current target into a new backup slot");
  effects.push_back("record " + quoted_form(read.stamp.setup_id) +
                    " as the setup this target holds, without writing one file of it");
  effects.push_back("move " + std::string(d.legacy_stamp_name) + " into " + adopted_dir +
                    ", where the old program no longer sees it");

  Json& a = plan.artifact;
  a["format"] = "ai-stp-provider-plan/3";
  a["protocol_version"] = kProtocolVersion;
  a["provider_id"] = std::string(d.provider_id);
  a["provider_version"] = std::string(d.provider_version);
  a["provider_build_digest"] = build_digest;
  a["operation_id"] = operation_id;
  a["operation"] = "adopt";
  a["canonical_target"] = lossy_utf8(store.target_path);
  a["expected_target_digest"] = identity;
  a["projection_profile_digest"] = profile;
  a["setup_id"] = read.stamp.setup_id;
  a["setup_definition_digest"] =
      definition_digest ? Json(*definition_digest) : Json(nullptr);
  a["legacy_stamp_digest"] = read.digest;
  a["claimed_paths"] = claimed;
  a["effects"] = std::move(effects);

  PlanFacts& f = plan.facts;
  f.operation = "adopt";
  f.operation_id = operation_id;
  VELK_ASSIGN(f.plan_digest, digest_document(kPlanTag, plan.artifact));
  f.expected_target_digest = identity;
  f.scope = std::nullopt;
  f.provider_build_digest = build_digest;
  f.projection_profile_digest = profile;
  return plan;
}

}  // namespace

Status run_adopt(const UserCommand& command, std::ostream& out) {
  const ProductDeclaration& d = declaration();
  const std::string stamp_name(d.legacy_stamp_name);
  // Located, not opened: a refused adoption creates nothing in the target.
  VELK_ASSIGN(const TargetStore store, locate_target_store(command.target));
  VELK_ASSIGN(const ReadStamp read, read_stamp(store));
  const LegacyStamp& stamp = read.stamp;
  VELK_TRY(check_claims(stamp));
  {
    VELK_ASSIGN(const StateRead state, read_state(store.target_path));
    VELK_TRY(check_scope(store.target_path, state));
  }

  out << stamp.product_name << " wrote " << stamp_name << " for setup "
      << quoted_form(stamp.setup_id) << ", build " << stamp.build_version << ".\n";
  if (stamp.canonical_target != store.target_path) {
    out << "This stamp was written for " << quoted_form(stamp.canonical_target)
        << ", and is being adopted at " << store.target_path << ".\n";
    out << "  every path it claims is checked against this target, not that one\n";
  }
  size_t changed = 0;
  for (const auto& [path, digest] : stamp.managed_files)
    if (!claimed_file_matches(store.target_path, path, digest)) ++changed;
  if (changed > 0)
    out << "  " << changed << " of " << stamp.managed_files.size()
        << " are not what the stamp recorded; they are adopted as they are, and "
           "             the backup below holds them\n";

  std::vector<std::string> claimed;
  for (const auto& [path, digest] : stamp.managed_files) claimed.push_back(path);
  std::sort(claimed.begin(), claimed.end());

  VELK_ASSIGN(const auto surfaces, managed_paths(store.target_path, std::nullopt));
  VELK_ASSIGN(const std::string identity, target_identity(store.target_path, surfaces));
  const std::optional<std::string> definition = catalog_definition_digest(stamp.setup_id);
  VELK_ASSIGN(const AdoptionPlan plan, build_plan(store, read, identity, definition, claimed));

  const std::string stamp_path = path_join(store.target_path, stamp_name);
  PerformHooks hooks;
  hooks.pre_checks = [&](const PerformContext& context) -> Status {
    // Under the lock: the stamp must still be the one the plan was made
    // from, and nothing adopted earlier may be overwritten.
    VELK_ASSIGN(const std::optional<std::string> now, stamp_bytes(stamp_path));
    if (!now || digest_bytes(*now) != read.digest)
      return make_error(ErrorKind::stale,
                        stamp_path + " changed after it was read; no effect was made");
    VELK_TRY(check_scope(context.store.target_path, context.state_before));
    if (lstat_path(plan.kept_at))
      return make_error(ErrorKind::unsupported_operation,
                        plan.kept_at +
                            " already keeps a stamp adopted earlier; move it away before "
                            "adopting again. No effect was made");
    return {};
  };
  hooks.effects = [&](const PerformContext& context) -> Result<EffectsOutcome> {
    const std::string adopted_dir = parent_path(plan.kept_at);
    if (const int err = create_directories(adopted_dir); err != 0)
      return system_error(ErrorKind::state_unavailable, "cannot create " + adopted_dir, err);
    if (::rename(stamp_path.c_str(), plan.kept_at.c_str()) != 0)
      return system_error(ErrorKind::state_unavailable,
                          "cannot move " + stamp_path + " to " + plan.kept_at, errno);
    VELK_TRY(flush_directory(adopted_dir));
    VELK_TRY(flush_directory(context.store.target_path));
    EffectsOutcome outcome;
    outcome.setup_stable_id = stamp.setup_id;
    outcome.setup_definition_digest = definition;
    outcome.written_paths = claimed;
    return outcome;
  };
  VELK_ASSIGN(const PerformOutcome done, perform(command.target, plan.facts, hooks));

  out << "\n";
  out << d.provider_id << " now owns " << store.target_path << ".\n";
  out << "  previous state captured as " << done.backup_ref << "\n";
  out << "  the old stamp is kept at " << plan.kept_at << "\n";
  return {};
}

}  // namespace velk
