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
#include "core/clock.h"
#include "protocol/apply_plan.h"
#include "protocol/make_plan.h"
#include "protocol/plan_target.h"
#include "store/store.h"

namespace velk {
namespace {

// How long an adoption plan stays valid: it is applied at once.
constexpr int64_t kPlanLifetimeMillis = 5 * 60 * 1000;

struct ReadStamp {
  LegacyStamp stamp;
  std::string digest;  // of the stamp's bytes, to notice a change under the lock
};

Result<ReadStamp> read_stamp(const TargetStore& store) {
  const ProductDeclaration& d = declaration();
  const std::string path = legacy_stamp_path(store.target_path);
  VELK_ASSIGN(const std::optional<std::string> bytes, read_legacy_stamp(store.target));
  if (!bytes)
    return make_error(ErrorKind::unsupported_operation,
                      store.target_path + " holds no " + std::string(d.legacy_stamp_name) +
                          "; there is nothing to adopt");
  auto parsed = parse_legacy_stamp(*bytes);
  if (!parsed.ok())
    return with_cause(ErrorKind::unsupported_operation,
                      path + " is not a stamp this build understands: " + parsed.error(),
                      parsed.error());
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
    VELK_ASSIGN(const StateRead state, read_state(store.target));
    VELK_TRY(check_adoptable_scope(store.target_path, state));
  }

  // What the stamp says is the target owner's text: shown, never raw.
  out << shown(stamp.product_name) << " wrote " << stamp_name << " for setup "
      << quoted_form(stamp.setup_id) << ", build " << shown(stamp.build_version) << ".\n";
  if (stamp.canonical_target != store.target_path) {
    out << "This stamp was written for " << quoted_form(stamp.canonical_target)
        << ", and is being adopted at " << store.target_path << ".\n";
    out << "  every path it claims is checked against this target, not that one\n";
  }
  size_t changed = 0;
  for (const auto& [path, digest] : stamp.managed_files)
    if (!claimed_file_matches(store.target, path, digest)) ++changed;
  if (changed > 0)
    out << "  " << changed << " of " << stamp.managed_files.size()
        << " are not what the stamp recorded; they are adopted as they are, and "
           "             the backup below holds them\n";

  Adoption adoption;
  adoption.setup_id = stamp.setup_id;
  adoption.setup_definition_digest = catalog_definition_digest(stamp.setup_id);
  adoption.legacy_stamp_digest = read.digest;
  for (const auto& [path, digest] : stamp.managed_files) adoption.claimed_paths.push_back(path);
  std::sort(adoption.claimed_paths.begin(), adoption.claimed_paths.end());

  VELK_ASSIGN(const TargetSurvey survey, survey_target(command.target, std::nullopt));
  PlanRequest request;
  request.operation = Operation::adopt;
  request.voice = Voice::person;
  request.operation_id = human_operation_id_now(survey.identity);
  request.expires_at = format_utc_millis(now_utc_millis() + kPlanLifetimeMillis);
  request.adoption = std::move(adoption);
  request.stamp_name = stamp_name;
  request.adopted_dir = path_join(store.control_dir, kAdoptedDirName);
  VELK_ASSIGN(Plan plan, make_plan(survey, request));
  VELK_ASSIGN(const SealedPlan sealed, seal_plan(std::move(plan)));
  VELK_ASSIGN(const ApplyOutcome done, apply_plan(survey.target, sealed.plan, sealed.digest, {}));

  out << "\n";
  out << d.provider_id << " now owns " << store.target_path << ".\n";
  out << "  previous state captured as " << done.backup_ref << "\n";
  out << "  the old stamp is kept at " << path_join(request.adopted_dir, stamp_name) << "\n";
  return {};
}

}  // namespace velk
