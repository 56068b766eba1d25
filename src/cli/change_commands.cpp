#include "cli/change_commands.h"

#include "cli/operation_id.h"
#include "cli/setup_content.h"
#include "core/clock.h"
#include "core/text.h"
#include "product/catalog.h"
#include "product/declaration.h"
#include "product/facts.h"
#include "protocol/apply_plan.h"
#include "protocol/make_plan.h"
#include "protocol/plan_target.h"
#include "store/store.h"

namespace velk {
namespace {

// How long a plan made by a user command stays valid: it is applied at
// once, so this only has to cover the time taken to reach the lock.
constexpr int64_t kHumanPlanLifetimeMillis = 5 * 60 * 1000;

Result<TargetSurvey> survey(std::string_view target) { return survey_target(target, std::nullopt); }

// The plan a consumer would have asked for, made against the target as
// surveyed with the effects in a person's words, and applied through the
// same code.
Result<ApplyOutcome> plan_and_apply(const TargetSurvey& survey, PlanRequest request,
                                    const SetupContent* content) {
  request.voice = Voice::person;
  request.operation_id = human_operation_id_now(survey.identity);
  request.expires_at = format_utc_millis(now_utc_millis() + kHumanPlanLifetimeMillis);
  VELK_ASSIGN(Plan plan, make_plan(survey, request));
  VELK_ASSIGN(const SealedPlan sealed, seal_plan(std::move(plan)));
  ApplyInputs inputs;
  inputs.content = content;
  return apply_plan(survey.target, sealed.plan, sealed.digest, inputs);
}

std::string captured(const ApplyOutcome& outcome) {
  return outcome.backup_ref.empty() ? std::string("(none)") : outcome.backup_ref;
}

Status write_setup(std::string_view target, std::string_view id, Operation operation,
                   std::ostream& out) {
  VELK_TRY(locate_target_store(target));
  VELK_ASSIGN(const Catalog catalog, open_catalog());
  VELK_ASSIGN(const std::vector<CatalogSetup> setups, read_setups(catalog));
  VELK_ASSIGN(const CatalogSetup setup, find_setup(setups, id));
  VELK_ASSIGN(const TargetSurvey surveyed, survey(target));
  VELK_ASSIGN(const SetupContent content, read_setup_content(setup, surveyed.scope));

  PlanRequest request;
  request.operation = operation;
  request.setup_id = setup.id;
  VELK_ASSIGN(const ApplyOutcome outcome, plan_and_apply(surveyed, std::move(request), &content));

  out << "Applied setup " << setup.id << " to " << surveyed.store.target_path << ".\n";
  if (!outcome.backup_ref.empty())
    out << "  previous state captured as " << outcome.backup_ref << "\n";
  out << "  target identity now " << short_digest(outcome.target_identity_digest) << "\n";
  return {};
}

}  // namespace

Status run_install(std::string_view target, std::string_view setup, std::ostream& out) {
  return write_setup(target, setup, Operation::install, out);
}

Status run_select(std::string_view target, std::string_view setup, std::ostream& out) {
  return write_setup(target, setup, Operation::replace, out);
}

Status run_reinstall(std::string_view target, std::ostream& out) {
  VELK_ASSIGN(const TargetStore store, locate_target_store(target));
  VELK_ASSIGN(const StateRead read, read_state(store.target));
  if (!read.present())
    return make_error(ErrorKind::state_unavailable,
                      "nothing is recorded here to reinstall; use `install <setup>` to choose one");
  if (!read.state.setup_stable_id)
    return make_error(ErrorKind::state_unavailable,
                      "the recorded state names no setup, so there is nothing to re-apply");
  return write_setup(target, *read.state.setup_stable_id, Operation::replace, out);
}

Status run_restore(std::string_view target, const std::optional<std::string>& backup,
                   std::ostream& out) {
  VELK_ASSIGN(const TargetSurvey surveyed, survey(target));
  PlanRequest request;
  request.operation = Operation::restore;
  request.backup_ref = backup;
  VELK_ASSIGN(const ApplyOutcome outcome, plan_and_apply(surveyed, std::move(request), nullptr));

  const std::string& path = surveyed.store.target_path;
  if (backup)
    out << "Restored " << *backup << " into " << path << ".\n";
  else
    out << "Restored the most recent backup into " << path << ".\n";
  out << "  state before this restore captured as " << captured(outcome) << "\n";
  return {};
}

Status run_remove(std::string_view target, std::ostream& out) {
  VELK_ASSIGN(const TargetSurvey surveyed, survey(target));
  const std::string& path = surveyed.store.target_path;
  const std::string provider(declaration().provider_id);
  if (!surveyed.state.present()) {
    const std::vector<std::string> present = owned_surfaces_present(surveyed.store.target);
    if (present.empty()) {
      out << "Nothing to remove: " << provider << " has applied no setup at " << path
          << ", and none of what it declares is here.\n";
      return {};
    }
    return make_error(
        ErrorKind::state_unavailable,
        provider + " has applied no setup at " + path +
            " -- no state file, or one written before this build recorded what it wrote. "
            "Removing would take " +
            join(present, ", ") +
            " whole, and nothing here says this provider put them there. Install a setup first "
            "if you want one removed, or take what you put there yourself.");
  }

  PlanRequest request;
  request.operation = Operation::remove;
  VELK_ASSIGN(const ApplyOutcome outcome, plan_and_apply(surveyed, std::move(request), nullptr));

  out << "Removed everything " << provider << " owns from " << path << ".\n";
  out << "  previous state captured as " << captured(outcome) << "\n";
  out << "  restore it with:  restore --target " << path << "\n";
  return {};
}

}  // namespace velk
