// The bound scope, the profile binding, surfaces and component kinds.
#include "bundle_fixture.h"
#include "product/profile.h"

namespace velk::testing {
namespace {

using BundleScope = BundleTest;

std::map<std::string, FileSpec> one_skill() { return {{"skills/a/SKILL.md", {"a"}}}; }

TEST_F(BundleScope, BindsTheScopeTheBundleWasBuiltFor) {
  const BundleParts global = make_bundle(one_skill());
  expect_valid(read(global, RequestedScope::none));
  expect_valid(read(global, RequestedScope::global));
  expect_refused(read(global, RequestedScope::user_root), ReasonCode::projection_profile_mismatch,
                 "bundle v2's bound scope differs from the requested target scope");
  expect_refused(read(global, RequestedScope::project), ReasonCode::projection_profile_mismatch,
                 "bundle v2's bound scope differs from the requested target scope");

  const BundleParts user_root = make_bundle(one_skill(), TargetScope::user_root);
  auto bundle = read(user_root, RequestedScope::user_root);
  expect_valid(bundle);
  EXPECT_EQ(bundle->bound_scope, TargetScope::user_root);
  expect_valid(read(user_root, RequestedScope::none));
  expect_refused(read(user_root, RequestedScope::global), ReasonCode::projection_profile_mismatch,
                 "bundle v2's bound scope differs from the requested target scope");

  BundleParts unknown = make_bundle(one_skill());
  unknown.manifest["target_scope"] = "planet";
  unknown.manifest["projection_profile"]["target_scope"] = "planet";
  unknown.seal();
  expect_refused(read(unknown, RequestedScope::none), ReasonCode::projection_profile_mismatch,
                 "bundle v2 names unknown target scope \"planet\"");
}

TEST_F(BundleScope, RefusesTheProjectScopeWhichHasNoProfile) {
  const BundleParts project = make_bundle(one_skill(), TargetScope::project);
  for (RequestedScope requested : {RequestedScope::none, RequestedScope::project})
    expect_refused(read(project, requested), ReasonCode::projection_profile_mismatch,
                   "bundle v2 is bound to the project scope, for which velk-setup-system "
                   "publishes no projection profile");
}

TEST_F(BundleScope, RequiresTheExactProfileOfTheBoundScope) {
  const auto breakers = {
      +[](Json& m) { m["projection_profile"]["profile_id"] = "velk/native-files/user-root/1"; },
      // The user-root profile's digest, bound to the global scope.
      +[](Json& m) {
        m["projection_profile"]["profile_digest"] =
            *profile_digest(declaration().user_root_profile);
      },
  };
  for (auto brk : breakers) {
    BundleParts parts = make_bundle(one_skill());
    brk(parts.manifest);
    parts.seal();
    expect_refused(read(parts), ReasonCode::projection_profile_mismatch,
                   "bundle v2 was compiled for a different provider projection profile");
  }
}

TEST_F(BundleScope, RefusesAdaptationKindsOutsideTheProfile) {
  BundleParts parts = make_bundle(one_skill());
  parts.manifest["component_adaptations"][0]["provider_component_kind"] = "mcp";
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                 "adaptation for \"component.skills\" names a kind outside the selected profile");

  parts = make_bundle(one_skill());
  parts.manifest["component_adaptations"][0]["projection_kind"] = "package";
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                 "adaptation for \"component.skills\" names a kind outside the selected profile");

  // The user-root profile admits skills only, whatever scope is requested.
  parts = make_bundle({{"agents/a.md", {"a"}}}, TargetScope::user_root);
  parts.manifest["component_adaptations"][0]["provider_component_kind"] = "agent";
  parts.seal();
  expect_refused(read(parts, RequestedScope::none), ReasonCode::adaptation_binding_mismatch,
                 "adaptation for \"component.agents\" names a kind outside the selected profile");
}

TEST_F(BundleScope, KeepsFilesInsideTheOwnedSurfaces) {
  expect_refused(read(make_bundle({{"sessions/x", {"x"}}})), ReasonCode::unsupported_native_surface,
                 "the bundle writes \"sessions/x\", which is outside the surface velk-setup-system owns");
  expect_refused(read(make_bundle({{"skillset/x", {"x"}}})), ReasonCode::unsupported_native_surface,
                 "the bundle writes \"skillset/x\", which is outside the surface velk-setup-system owns");

  // Inside an owned surface, but the product's own file.
  const std::string never = "which belongs to the product and which velk-setup-system never touches";
  expect_refused(read(make_bundle({{"plugins/known_marketplaces.json", {"{}"}}})),
                 ReasonCode::unsupported_native_surface,
                 "the bundle writes \"plugins/known_marketplaces.json\", " + never);
  expect_refused(read(make_bundle({{"plugins/Known_Marketplaces.json/x", {"{}"}}})),
                 ReasonCode::unsupported_native_surface,
                 "the bundle writes \"plugins/Known_Marketplaces.json/x\", " + never);
  expect_valid(read(make_bundle({{"plugins/known_marketplaces.jsonl", {"{}"}}})));

  // Every owned surface is writable by default; under user_root only skills.
  std::map<std::string, FileSpec> everywhere;
  for (const std::string& s : declaration().owned_paths())
    everywhere[s.find('.') == std::string::npos ? s + "/x" : s] = {"x"};
  expect_valid(read(make_bundle(everywhere), RequestedScope::global));

  const BundleParts config = make_bundle({{"config.toml", {"x"}}}, TargetScope::user_root);
  expect_refused(read(config, RequestedScope::user_root), ReasonCode::unsupported_native_surface,
                 "the bundle writes \"config.toml\", which is outside the surface velk-setup-system owns");
  expect_valid(read(config, RequestedScope::none));
}

TEST_F(BundleScope, RefusesComponentKindsTheProductDoesNotImplement) {
  BundleParts parts = make_bundle(one_skill(), TargetScope::user_root);
  parts.manifest["conversion_report"]["entries"].push_back(
      {{"stable_id", "component.reviewer"}, {"component_type", "agent"}, {"native_surface", "agents"}});
  // An entry without a type is not checked.
  parts.manifest["conversion_report"]["entries"].push_back(
      {{"stable_id", "component.misc"}, {"component_type", ""}, {"native_surface", ""}});
  parts.seal();
  expect_refused(read(parts, RequestedScope::user_root), ReasonCode::unsupported_component_kind,
                 "the bundle declares component \"component.reviewer\" as kind \"agent\", which "
                 "velk-setup-system does not implement at user_root");
  expect_valid(read(parts, RequestedScope::none));

  parts = make_bundle(one_skill());
  parts.manifest["conversion_report"]["entries"][0]["component_type"] = "mcp";
  parts.seal();
  expect_refused(read(parts, RequestedScope::global), ReasonCode::unsupported_component_kind,
                 "the bundle declares component \"component.skills\" as kind \"mcp\", which "
                 "velk-setup-system does not implement at the global profile");
  expect_refused(read(parts, RequestedScope::none), ReasonCode::unsupported_component_kind,
                 "the bundle declares component \"component.skills\" as kind \"mcp\", which "
                 "velk-setup-system does not implement");
}

}  // namespace
}  // namespace velk::testing
