#include "protocol/plan_target.h"

#include <set>

#include "core/digest.h"
#include "core/fs.h"
#include "core/progress.h"
#include "core/text.h"
#include "product/profile.h"
#include "store/store.h"

namespace velk {
namespace {


}  // namespace

std::string scope_word(std::optional<TargetScope> scope) {
  return scope ? std::string(scope_name(*scope)) : std::string("global");
}

Error scope_mismatch(const std::string& target, std::optional<TargetScope> recorded,
                             std::optional<TargetScope> named) {
  return refusal(ReasonCode::unsupported_operation,
                target + " is managed under target_scope " + scope_word(recorded) +
                    ", and this plan names " + scope_word(named) +
                    "; a plan under another scope would measure another inventory, so name the "
                    "scope the target is managed under");
}

Result<TargetSurvey> survey_target(std::string_view target,
                                           std::optional<TargetScope> requested,
                                           bool pending_recovery_matters) {
  TargetSurvey survey;
  VELK_ASSIGN(survey.target, validate_target(target));
  VELK_ASSIGN(survey.store, locate_target_store(survey.target));
  const TargetStore& store = survey.store;
  const std::string& path = store.target_path;

  if (pending_recovery_matters) {
    auto incomplete = list_incomplete_slots(store.pool);
    if (!incomplete.ok()) return std::move(incomplete).error();
    if (auto resolved = check_resolved(store.control, store.pool.path, *incomplete);
        !resolved.ok()) {
      // A journal or a slot being filled right now is another process's
      // change in progress, not one that was interrupted.
      if (target_lock_held(store.control))
        return make_error(ErrorKind::lock_unavailable,
                          "another process is changing " + path +
                              "; plan again when it has finished");
      return std::move(resolved).error();
    }
  }

  auto state = read_state(store.target);
  if (!state.ok()) return std::move(state).error();
  survey.state = std::move(state).value();
  const std::optional<TargetScope> recorded = decide_scope(std::nullopt, survey.state);
  survey.scope = decide_scope(requested, survey.state);
  if (requested && survey.state.present() && recorded != requested)
    return scope_mismatch(path, recorded, requested);

  auto managed = managed_paths(path, survey.scope, survey.state);
  if (!managed.ok()) return std::move(managed).error();
  survey.managed = std::move(managed).value();
  progress_phase(Phase::measuring);
  auto identity = target_identity(store.target, scope_surfaces(survey.scope));
  progress_phase(Phase::none);
  if (!identity.ok()) return std::move(identity).error();
  survey.identity = std::move(identity).value();

  const ProjectionProfile* profile = profile_for_scope(survey.scope);
  if (!profile)
    return refusal(ReasonCode::unsupported_operation,
                  "--target-scope " + scope_word(survey.scope) +
                      " names a target this provider publishes no projection profile for");
  auto digest = profile_digest(*profile);
  if (!digest.ok()) return std::move(digest).error();
  survey.profile_digest = std::move(digest).value();
  return survey;
}

std::vector<std::string> scope_notes(std::optional<TargetScope> scope) {
  if (scope == TargetScope::user_root)
    return {"only the files this provider recorded writing under this scope go; anything else "
            "under the same root is left alone"};
  return {"these entries go whole, not file by file: " +
              join(declaration().main_profile.native_namespaces, ", "),
          "whatever else is in them goes too -- your own keys in a file it names, your own files "
          "in a directory it names -- and the backup slot holds it"};
}

Status check_adoptable_scope(const std::string& target, const StateRead& state) {
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

Error user_root_remove_refusal(const std::string& target) {
  const std::string word(scope_name(TargetScope::user_root));
  return refusal(
      ReasonCode::unsupported_operation,
      "remove under target_scope " + word +
          " is scoped to the files this provider recorded writing, and " + target +
          " holds no readable record of them -- no state file, or one written before this build "
          "recorded them. Refused rather than widened to " +
          join(declaration().user_root_profile.native_namespaces, ", ") +
          " whole, which under this scope is a root several products read. Reinstall to "
          "establish a record, remove the components through the consumer, or point --target at "
          "this product's own configuration home.");
}

std::string bundle_member_name(const std::string& path) { return "files/" + path; }

Result<RemovalPlan> plan_removal(const TargetSurvey& survey,
                                         const ValidatedBundle* bundle) {
  const std::string& target = survey.store.target_path;
  if (survey.scope == TargetScope::user_root && !survey.state.present())
    return user_root_remove_refusal(target);

  std::set<std::string> declared;
  if (bundle) {
    for (const BundleFile& file : bundle->manifest.files) declared.insert(file.path);
    for (const auto& [path, data] : bundle->files)
      if (!declared.count(path))
        return refusal(ReasonCode::unsupported_native_surface,
                      "the bundle carries " + quoted_form(bundle_member_name(path)) +
                          " and its manifest does not declare it");
  }

  RemovalPlan plan;
  std::set<std::string> placed;
  const auto survive = [&](const std::string& path) {
    const BundleFileData& data = bundle->files.at(path);
    plan.end_states.push_back(EndState{path, true, bundle_member_name(path),
                                       digest_bytes(data.bytes), data.bytes.size()});
    placed.insert(path);
    ++plan.survivors;
  };
  for (const std::string& owned : survey.managed) {
    if (survey.store.target.stat(owned)) plan.lines.push_back("remove " + owned);
    if (bundle && bundle->files.count(owned) && !placed.count(owned)) {
      survive(owned);
      continue;
    }
    plan.end_states.push_back(EndState{owned, false, "", "", 0});
    if (!bundle) continue;
    for (const auto& [path, data] : bundle->files)
      if (!placed.count(path) && path != owned && path_is_within(path, owned)) survive(path);
  }
  if (bundle)
    for (const auto& [path, data] : bundle->files)
      if (!placed.count(path)) survive(path);
  return plan;
}

}  // namespace velk
