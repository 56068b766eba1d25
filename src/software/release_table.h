// The pinned release table: for each version this build installs, one build
// per platform with its download address, digest and exact size. Nothing is
// asked of a server; the host platform is the one this program was compiled
// for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk {

// How an artifact's bytes become the program: the artifact is the program
// itself, a gzip-compressed tar archive, or a zip archive.
enum class ArtifactForm : uint8_t { executable = 0, tar_gzip = 1, zip = 2 };

std::string_view artifact_form_name(ArtifactForm form);

struct Build {
  std::string platform;     // "{os}/{arch}"
  std::string url;
  std::string sha256;       // digest text
  std::string entry_point;  // the program inside an archive; empty otherwise
  uint64_t byte_length = 0;
  ArtifactForm format = ArtifactForm::executable;
};

// A release that this provider does not deliver itself.
struct DeliveryNote {
  std::string channel;
  std::string detail;
};

struct Release {
  std::string version;
  std::vector<Build> builds;
  std::optional<DeliveryNote> delivery_note;
};

struct Platform {
  std::string_view os;
  std::string_view arch;
};

// The platform this program was built for, in the table's words ("linux",
// "macos", "windows"; "arm64", "x86_64").
Platform host_platform();

// Every pinned release, the current one first, then the previous one.
const std::vector<Release>& release_table();
const Release& current_release();
const Release& previous_release();

// The pinned versions joined with " and ", current first.
std::string pinned_versions_text();

// No version gives the current release; an unpinned version is refused
// (unsupported_operation).
Result<const Release*> select_release(std::optional<std::string_view> version);

// The release's build for {os}/{arch}. A missing build fails with
// unsupported_architecture when the release serves the os on another
// processor, unsupported_platform otherwise.
Result<const Build*> build_for_platform(const Release& release, std::string_view os,
                                        std::string_view arch);
Result<const Build*> host_build(const Release& release);

struct RecognisedArtifact {
  const Release* release = nullptr;
  const Build* build = nullptr;
};

// The pinned release whose host build has this digest text (current release
// first), or integrity_mismatch naming what the host is offered.
Result<RecognisedArtifact> recognise_digest(std::string_view digest);
// recognise_digest over the file's SHA-256 digest text.
Result<RecognisedArtifact> recognise_artifact(const std::string& path);

}  // namespace velk
