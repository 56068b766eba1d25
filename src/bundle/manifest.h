// The bundle manifest ("bundle.json") as typed values, the setup passport,
// and the strict typed reading of both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk {

inline constexpr std::string_view kBundleFormat = "ai-stp-bundle/2";
inline constexpr uint32_t kBundleProtocol = 1;

// Ceilings a bundle's own limits can tighten but never loosen.
inline constexpr uint64_t kMaxBundleFiles = 2000;
inline constexpr uint64_t kMaxBundleFileBytes = 4194304;  // 4 MiB
inline constexpr uint64_t kMaxBundleBytes = 67108864;     // 64 MiB

struct ProfileBinding {
  std::string profile_id;
  std::string profile_digest;
  std::string target_scope;  // "global", "project" or "user_root"
};

struct ProjectionArtifactBinding {
  std::string digest;
  uint64_t size_bytes = 0;
};

struct ComponentAdaptation {
  std::string version;
  std::string stable_id;
  std::vector<std::string> member_paths;
  std::string adaptation_id;
  std::string passport_digest;
  std::string projection_kind;
  ProjectionArtifactBinding projection_artifact;
  std::string provider_component_kind;
};

struct ConversionEntry {
  std::string stable_id;
  std::string component_type;
  std::string native_surface;
};

struct ConversionReport {
  bool complete = false;
  std::vector<ConversionEntry> entries;
};

struct BundleFile {
  std::string path;
  std::string kind;  // "file"; "symlink" and "hardlink" are links
  uint32_t mode = 0;
  std::string owner;  // stable_id of the owning adaptation
  std::string digest;
  uint64_t byte_length = 0;
};

struct BundleLimits {
  std::optional<uint64_t> max_files;
  std::optional<uint64_t> max_file_bytes;
  std::optional<uint64_t> max_bundle_bytes;

  // The smaller of the given value and the ceiling.
  uint64_t effective_files() const;
  uint64_t effective_file_bytes() const;
  uint64_t effective_bundle_bytes() const;
};

struct BundleManifest {
  uint32_t schema_version = 0;
  uint32_t protocol_version = 0;
  std::string bundle_format;
  std::string bundle_digest;
  std::string harness_id;
  std::string builder_version;
  std::string input_digest;
  std::optional<std::string> target_scope;  // absent for the global scope
  std::optional<ProfileBinding> projection_profile;
  std::vector<ComponentAdaptation> component_adaptations;
  ConversionReport conversion_report;
  std::vector<std::string> managed_paths;
  std::vector<BundleFile> files;
  BundleLimits limits;
};

// Strict reading: a repeated member fails with "duplicate field `{name}`",
// a missing required one with "missing field `{name}`", a syntax error with
// the parser's message (line and column). Unknown members are ignored;
// optional ones that are absent or null take their empty value.
Result<BundleManifest, std::string> parse_manifest(std::string_view text);

struct SetupPassport {
  std::string stable_id;
  std::string version;
};

// Tolerant: text that does not parse as a JSON object gives both empty; a
// member that is absent or not a string gives that one empty.
SetupPassport parse_passport(std::string_view text);

}  // namespace velk
