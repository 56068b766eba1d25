// The profile binding, the component adaptations and their closure over the
// declared files.
#include "bundle_fixture.h"

namespace velk::testing {
namespace {

using BundleStructure = BundleTest;

// Skills in two adaptations ("component.agents" and "component.skills").
std::map<std::string, FileSpec> two_components() {
  return {{"agents/reviewer.md", {"r"}}, {"skills/a.md", {"a"}}, {"skills/b.md", {"b"}}};
}

TEST_F(BundleStructure, RequiresABindingAndAdaptations) {
  BundleParts parts = make_bundle(two_components());
  parts.manifest["projection_profile"] = nullptr;
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_missing,
                 "bundle v2 has no projection_profile");

  parts = make_bundle(two_components());
  parts.manifest.erase("component_adaptations");
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_missing,
                 "bundle v2 has no component_adaptations");
}

TEST_F(BundleStructure, RefusesAnIncompleteBinding) {
  const auto breakers = {
      +[](Json& m) { m["projection_profile"]["profile_id"] = ""; },
      +[](Json& m) { m["projection_profile"]["profile_digest"] = "sha256:ABC"; },
      +[](Json& m) { m["projection_profile"].erase("profile_digest"); },
      // The binding must name the manifest's own scope.
      +[](Json& m) { m["projection_profile"]["target_scope"] = "user_root"; },
      +[](Json& m) { m["target_scope"] = "global"; m["projection_profile"]["target_scope"] = "user_root"; },
  };
  for (auto brk : breakers) {
    BundleParts parts = make_bundle(two_components());
    brk(parts.manifest);
    parts.seal();
    expect_refused(read(parts), ReasonCode::projection_profile_mismatch,
                   "bundle v2's profile binding is incomplete or names another scope");
  }
}

TEST_F(BundleStructure, RefusesAdaptationsOutOfOrderOrRepeated) {
  BundleParts parts = make_bundle(two_components());
  Json& list = parts.manifest["component_adaptations"];
  std::swap(list[0], list[1]);
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                 "component_adaptations are not strictly sorted by stable_id");

  // A repeat is out of strict order before it is anything else.
  parts = make_bundle(two_components());
  parts.manifest["component_adaptations"].push_back(parts.manifest["component_adaptations"][1]);
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                 "component_adaptations are not strictly sorted by stable_id");
}

TEST_F(BundleStructure, RefusesAnAdaptationThatBreaksItsOwnRules) {
  const auto breakers = {
      +[](Json& a) { a["version"] = ""; },
      +[](Json& a) { a["member_paths"] = Json::array(); },
      +[](Json& a) { a["adaptation_id"] = "adaptation_" + std::string(63, 'a'); },
      +[](Json& a) { a["adaptation_id"] = "adaptation_" + std::string(64, 'A'); },
      +[](Json& a) { a["passport_digest"] = "sha256:"; },
      +[](Json& a) { a["projection_kind"] = ""; },
      +[](Json& a) { a["projection_artifact"]["size_bytes"] = 0; },
      +[](Json& a) { a.erase("projection_artifact"); },
      +[](Json& a) { a["provider_component_kind"] = ""; },
  };
  for (auto brk : breakers) {
    BundleParts parts = make_bundle(two_components());
    brk(parts.manifest["component_adaptations"][1]);
    parts.seal();
    expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                   "adaptation for \"component.skills\" is not canonical");
  }
}

TEST_F(BundleStructure, ChecksEachMemberPathOnItsOwn) {
  BundleParts parts = make_bundle(two_components());
  Json& paths = parts.manifest["component_adaptations"][1]["member_paths"];
  std::swap(paths[0], paths[1]);
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                 "member_paths for \"component.skills\" are not strictly sorted");

  parts = make_bundle(two_components());
  parts.manifest["component_adaptations"][1]["member_paths"][1] = "skills/a.md";
  parts.seal();
  expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                 "member_paths for \"component.skills\" are not strictly sorted");

  // A member path that breaks the path rules reports that rule.
  parts = make_bundle(two_components());
  parts.manifest["component_adaptations"][1]["member_paths"][1] = "skills/../b.md";
  parts.seal();
  auto result = read(parts);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ReasonCode::path_escapes_target) << result.error().detail;

  parts = make_bundle({{"auth.json", {"{}"}}});
  expect_refused(read(parts), ReasonCode::special_file_not_allowed,
                 "\"auth.json\" is named like a credential and is refused by name");
}

TEST_F(BundleStructure, RequiresFilesAndAdaptationsToCloseOverEachOther) {
  const auto breakers = {
      // A file owned by an adaptation that does not list it.
      +[](Json& m) { m["files"][1]["owner"] = "component.agents"; },
      // A listed member path that no file declares.
      +[](Json& m) { m["component_adaptations"][0]["member_paths"].push_back("agents/zz.md"); },
      // A file owned by no adaptation at all.
      +[](Json& m) { m["files"][0]["owner"] = "component.nobody"; },
  };
  for (auto brk : breakers) {
    BundleParts parts = make_bundle(two_components());
    brk(parts.manifest);
    parts.seal();
    expect_refused(read(parts), ReasonCode::adaptation_binding_mismatch,
                   "bundle files do not close over the declared component adaptations");
  }
}

}  // namespace
}  // namespace velk::testing
