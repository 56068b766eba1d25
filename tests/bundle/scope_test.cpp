// The bound scope, the profile binding, surfaces and component kinds.
#include "support/bundle_fixture.h"
#include "product/profile.h"

namespace velk::testing {
namespace {

using BundleScope = BundleTest;

std::map<std::string, FileSpec> one_skill() { return {{"skills/a/SKILL.md", {"a"}}}; }

TEST_F(BundleScope, BindsTheScopeTheBundleWasBuiltFor) {
  const std::string differs = "bundle v2's bound scope differs from the requested target scope";
  const BundleParts global = make_bundle(one_skill());
  expect_valid(read(global, RequestedScope::none));
  expect_valid(read(global, RequestedScope::global));
  for (RequestedScope other : {RequestedScope::user_root, RequestedScope::project})
    expect_refused(read(global, other), kProfile, differs);

  const BundleParts user_root = make_bundle(one_skill(), TargetScope::user_root);
  auto bundle = read(user_root, RequestedScope::user_root);
  expect_valid(bundle);
  EXPECT_EQ(bundle->bound_scope, TargetScope::user_root);
  expect_valid(read(user_root, RequestedScope::none));
  expect_refused(read(user_root, RequestedScope::global), kProfile, differs);

  expect_refused(read(edited(one_skill(),
                             [](Json& m) {
                               m["target_scope"] = m["projection_profile"]["target_scope"] = "planet";
                             })),
                 kProfile, "bundle v2 names unknown target scope \"planet\"");

  const BundleParts project = make_bundle(one_skill(), TargetScope::project);
  for (RequestedScope requested : {RequestedScope::none, RequestedScope::project})
    expect_refused(read(project, requested), kProfile,
                   "bundle v2 is bound to the project scope, for which velk-setup-system "
                   "publishes no projection profile");
}

TEST_F(BundleScope, RequiresTheExactProfileAndAdaptationKindsInsideIt) {
  const std::string other = "bundle v2 was compiled for a different provider projection profile";
  const std::string outside = "\" names a kind outside the selected profile";
  const std::string first = "/component_adaptations/0/";
  const auto mismatch = ReasonCode::adaptation_binding_mismatch;
  expect_edits_refused(one_skill(), {
      {set_member("/projection_profile/profile_id", "velk/native-files/user-root/1"), kProfile,
       other},
      // The user-root profile's digest, bound to the global scope.
      {set_member("/projection_profile/profile_digest",
                  *profile_digest(declaration().user_root_profile)),
       kProfile, other},
      {set_member(first + "provider_component_kind", "mcp"), mismatch,
       "adaptation for \"component.skills" + outside},
      {set_member(first + "projection_kind", "package"), mismatch,
       "adaptation for \"component.skills" + outside},
  });
  // The user-root profile admits skills only, whatever scope is requested.
  const BundleParts agent = edited({{"agents/a.md", {"a"}}},
                                   set_member(first + "provider_component_kind", "agent"),
                                   TargetScope::user_root);
  expect_refused(read(agent, RequestedScope::none), mismatch,
                 "adaptation for \"component.agents" + outside);
}

TEST_F(BundleScope, KeepsFilesInsideTheOwnedSurfaces) {
  const std::string outside = "which is outside the surface velk-setup-system owns";
  const std::string never = "which belongs to the product and which velk-setup-system never touches";
  // Names that only start like a surface; the product's file in any case.
  for (const auto& [path, why] : std::vector<std::pair<std::string, std::string>>{
           {"sessions/x", outside},
           {"skillset/x", outside},
           {"plugins/known_marketplaces.json", never},
           {"plugins/Known_Marketplaces.json/x", never}})
    expect_refused(read(make_bundle({{path, {"{}"}}})), ReasonCode::unsupported_native_surface,
                   "the bundle writes \"" + path + "\", " + why);
  expect_valid(read(make_bundle({{"plugins/known_marketplaces.jsonl", {"{}"}}})));
  // A file that would replace the directory holding the product's own file.
  expect_refused(read(make_bundle({{"plugins", {"{}"}}})), ReasonCode::unsupported_native_surface,
                 "the bundle writes \"plugins\" as a file, where the product keeps "
                 "\"plugins/known_marketplaces.json\", which velk-setup-system never touches");

  // Every owned surface is writable by default; under user_root only skills.
  std::map<std::string, FileSpec> everywhere;
  for (const std::string& s : declaration().owned_paths())
    everywhere[s.find('.') == std::string::npos ? s + "/x" : s] = {"x"};
  expect_valid(read(make_bundle(everywhere), RequestedScope::global));
  const BundleParts config = make_bundle({{"config.toml", {"x"}}}, TargetScope::user_root);
  expect_refused(read(config, RequestedScope::user_root), ReasonCode::unsupported_native_surface,
                 "the bundle writes \"config.toml\", " + outside);
}

TEST_F(BundleScope, RefusesComponentKindsTheProductDoesNotImplement) {
  const BundleParts agent = edited(
      one_skill(),
      [](Json& m) {
        m["conversion_report"]["entries"].push_back({{"stable_id", "component.reviewer"},
                                                     {"component_type", "agent"},
                                                     {"native_surface", "agents"}});
        // An entry without a type is not checked.
        m["conversion_report"]["entries"].push_back(
            {{"stable_id", "component.misc"}, {"component_type", ""}, {"native_surface", ""}});
      },
      TargetScope::user_root);
  expect_refused(read(agent, RequestedScope::user_root), ReasonCode::unsupported_component_kind,
                 "the bundle declares component \"component.reviewer\" as kind \"agent\", which "
                 "velk-setup-system does not implement at user_root");
  expect_valid(read(agent, RequestedScope::none));

  const BundleParts mcp =
      edited(one_skill(), set_member("/conversion_report/entries/0/component_type", "mcp"));
  const std::string refused = "the bundle declares component \"component.skills\" as kind "
                              "\"mcp\", which velk-setup-system does not implement";
  expect_refused(read(mcp, RequestedScope::global), ReasonCode::unsupported_component_kind,
                 refused + " at the global profile");
  expect_refused(read(mcp, RequestedScope::none), ReasonCode::unsupported_component_kind, refused);
}

}  // namespace
}  // namespace velk::testing
