// The profile binding, the component adaptations and their closure over the files.
#include "support/bundle_fixture.h"

namespace velk::testing {
namespace {

using BundleStructure = BundleTest;

TEST_F(BundleStructure, RefusesABrokenBindingOrAdaptation) {
  constexpr auto missing = ReasonCode::adaptation_binding_missing;
  constexpr auto mismatch = ReasonCode::adaptation_binding_mismatch;
  const std::string incomplete = "bundle v2's profile binding is incomplete or names another scope";
  const std::string unsorted = "component_adaptations are not strictly sorted by stable_id";
  const std::string not_canonical = "adaptation for \"component.skills\" is not canonical";
  const std::string paths_unsorted = "member_paths for \"component.skills\" are not strictly sorted";
  const std::string no_closure = "bundle files do not close over the declared component adaptations";
  const std::string skills = "/component_adaptations/1/";
  // Skills in two adaptations ("component.agents" and "component.skills").
  const std::map<std::string, FileSpec> files = {
      {"agents/reviewer.md", {"r"}}, {"skills/a.md", {"a"}}, {"skills/b.md", {"b"}}};
  expect_edits_refused(files, {
      {set_member("/projection_profile", nullptr), missing, "bundle v2 has no projection_profile"},
      {erase_member("/component_adaptations"), missing, "bundle v2 has no component_adaptations"},
      {set_member("/projection_profile/profile_id", ""), kProfile, incomplete},
      {set_member("/projection_profile/profile_digest", "sha256:ABC"), kProfile, incomplete},
      {erase_member("/projection_profile/profile_digest"), kProfile, incomplete},
      // The binding must name the manifest's own scope.
      {set_member("/projection_profile/target_scope", "user_root"), kProfile, incomplete},
      {[](Json& m) {
         m["target_scope"] = "global";
         m["projection_profile"]["target_scope"] = "user_root";
       },
       kProfile, incomplete},
      {[](Json& m) { std::swap(m["component_adaptations"][0], m["component_adaptations"][1]); },
       mismatch, unsorted},
      // A repeat is out of strict order before it is anything else.
      {[](Json& m) { m["component_adaptations"].push_back(m["component_adaptations"][1]); },
       mismatch, unsorted},
      // The rules of one adaptation.
      {set_member(skills + "version", ""), mismatch, not_canonical},
      {set_member(skills + "member_paths", Json::array()), mismatch, not_canonical},
      {set_member(skills + "adaptation_id", "adaptation_" + std::string(63, 'a')), mismatch,
       not_canonical},
      {set_member(skills + "adaptation_id", "adaptation_" + std::string(64, 'A')), mismatch,
       not_canonical},
      {set_member(skills + "passport_digest", "sha256:"), mismatch, not_canonical},
      {set_member(skills + "projection_kind", ""), mismatch, not_canonical},
      {set_member(skills + "projection_artifact/size_bytes", 0), mismatch, not_canonical},
      {erase_member(skills + "projection_artifact"), mismatch, not_canonical},
      {set_member(skills + "provider_component_kind", ""), mismatch, not_canonical},
      {set_member(skills + "member_paths", {"skills/b.md", "skills/a.md"}), mismatch,
       paths_unsorted},
      {set_member(skills + "member_paths/1", "skills/a.md"), mismatch, paths_unsorted},
      // A member path that breaks the path rules reports that rule.
      {set_member(skills + "member_paths/1", "skills/../b.md"), ReasonCode::path_escapes_target,
       "\"skills/../b.md\" climbs out of the target"},
      // A file its owner does not list, a listed path no file declares, a
      // file owned by no adaptation.
      {set_member("/files/1/owner", "component.agents"), mismatch, no_closure},
      {set_member("/component_adaptations/0/member_paths/-", "agents/zz.md"), mismatch, no_closure},
      {set_member("/files/0/owner", "component.nobody"), mismatch, no_closure},
  });
  expect_refused(read(make_bundle({{"auth.json", {"{}"}}})), ReasonCode::special_file_not_allowed,
                 "\"auth.json\" is named like a credential and is refused by name");
}

}  // namespace
}  // namespace velk::testing
