#include "support/write_path.h"

#include <sys/stat.h>

#include <cstdlib>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "product/declaration.h"
#include "product/facts.h"
#include "product/profile.h"
#include "store/identity.h"
#include "store/state.h"
#include "support/temp_dir.h"

namespace velk::testing {

namespace {

template <class T>
T must(Result<T> result, const char* what) {
  if (!result.ok()) {
    std::fprintf(stderr, "%s: %s\n", what, result.error().full().c_str());
    std::abort();
  }
  return std::move(result).value();
}

}  // namespace

std::string identity_now(const std::string& target, std::optional<TargetScope> scope) {
  return must(target_identity(dir_of(target), scope_surfaces(scope)), "target identity");
}

PlanFacts plan_now(const std::string& target, const std::string& operation_id,
                   std::optional<TargetScope> scope) {
  PlanFacts plan;
  plan.operation = "install";
  plan.operation_id = operation_id;
  plan.plan_digest = "sha256:" + std::string(64, 'a');
  plan.expected_target_digest = identity_now(target, scope);
  plan.scope = scope;
  plan.provider_release_digest = "sha256:" + std::string(64, 'b');
  plan.provider_build_digest = must(provider_build_digest(), "build digest");
  plan.projection_profile_digest = must(profile_digest(*profile_for_scope(scope)), "profile");
  return plan;
}

std::function<Result<EffectsOutcome>(const PerformContext&)> write_files_effect(
    Files files, std::optional<std::string> setup) {
  return [files = std::move(files),
          setup = std::move(setup)](const PerformContext& context) -> Result<EffectsOutcome> {
    const std::string& target = context.store.target_path;
    for (const auto& path : context.cleared)
      VELK_TRY(remove_sparing_never_touch_at(context.store.target, path));
    EffectsOutcome outcome;
    outcome.setup_stable_id = setup;
    for (const auto& [relative, content] : files) {
      const std::string path = path_join(target, relative);
      create_directories(parent_path(path));
      VELK_TRY(write_file_atomically(path, content));
      if (relative.ends_with(".sh")) ::chmod(path.c_str(), 0755);
      outcome.written_paths.push_back(relative);
    }
    return outcome;
  };
}

Result<PerformOutcome> install_files(const std::string& target, const std::string& operation_id,
                                     Files files, std::optional<TargetScope> scope,
                                     std::function<void(PerformStep)> observer) {
  PerformHooks hooks;
  hooks.effects = write_files_effect(files, "test-setup");
  hooks.observer = std::move(observer);
  PlanFacts plan = plan_now(target, operation_id, scope);
  for (const auto& [path, bytes] : files) plan.planned_writes.push_back(path);
  return perform(target, plan, hooks);
}

std::optional<std::string> state_bytes(const std::string& target) {
  const std::string path = state_file_path(target);
  if (!exists(path)) return std::nullopt;
  return read_text(path);
}

}  // namespace velk::testing
