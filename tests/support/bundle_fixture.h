// Shared helpers of the bundle and protocol tests: reading built bundles, exact refusal checks.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "bundle/bundle.h"
#include "support/bundle_writer.h"
#include "support/temp_dir.h"

namespace velk::testing {

constexpr ReasonCode kProfile = ReasonCode::projection_profile_mismatch;

// A skills file and an instruction file: valid for the global scope.
inline std::map<std::string, FileSpec> sample_files() {
  return {{"AGENTS.md", {"# Agents\n"}}, {"skills/review/SKILL.md", {"review\n", 0755}}};
}

// An edit of a manifest: the member at a JSON pointer set, or removed.
using ManifestEdit = std::function<void(Json&)>;
inline ManifestEdit set_member(const std::string& pointer, Json value) {
  return [=](Json& m) { m[Json::json_pointer(pointer)] = value; };
}
inline ManifestEdit erase_member(const std::string& pointer) {
  return [=](Json& m) {
    const Json::json_pointer at(pointer);
    m[at.parent_pointer()].erase(at.back());
  };
}

// A bundle of the files (bound to `scope`) with one edit of its manifest, sealed.
inline BundleParts edited(const std::map<std::string, FileSpec>& files, const ManifestEdit& edit,
                          std::optional<TargetScope> scope = std::nullopt) {
  BundleParts parts = make_bundle(files, scope);
  edit(parts.manifest);
  parts.seal();
  return parts;
}

// An edit of a manifest and the refusal it meets.
struct EditRefusal {
  ManifestEdit edit;
  ReasonCode code;
  std::string detail;
};

template <class T>
void expect_refused(const Result<T>& result, ReasonCode code, const std::string& detail) {
  ASSERT_FALSE(result.ok()) << "expected a refusal: " << detail;
  EXPECT_EQ(result.error().message, detail);
  EXPECT_EQ(reason_name(result.error().code), reason_name(code)) << result.error().message;
}

template <class T>
void expect_valid(const Result<T>& result) {
  ASSERT_TRUE(result.ok()) << reason_name(result.error().code) << ": " << result.error().message;
}

class BundleTest : public ::testing::Test {
 protected:
  // Writes the parts as a bundle file and reads it under `scope`.
  Result<ValidatedBundle> read(const BundleParts& parts,
                               RequestedScope scope = RequestedScope::none) {
    return read_bundle(write_bundle(dir_ / "bundle.zip", parts), scope);
  }
  void expect_edits_refused(const std::map<std::string, FileSpec>& files,
                            const std::vector<EditRefusal>& cases) {
    for (const EditRefusal& c : cases) expect_refused(read(edited(files, c.edit)), c.code, c.detail);
  }
  TempDir dir_;
};

}  // namespace velk::testing
