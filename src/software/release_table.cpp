#include "software/release_table.h"

#include <array>
#include <cstdlib>

#include "core/digest.h"
#include "core/text.h"
#include "product/declaration.h"
#include "software/release_files.h"

namespace velk {

namespace {

constexpr std::string_view kCurrentVersion = "1.0.18";
constexpr std::string_view kPreviousVersion = "1.0.13";
constexpr std::string_view kDownloadBase = "https://downloads.orlix.example/velk/";

struct TablePlatform {
  std::string_view os;
  std::string_view arch;
};

// Every release publishes these, in this order.
constexpr std::array<TablePlatform, 6> kPlatforms = {{
    {"linux", "arm64"},
    {"linux", "x86_64"},
    {"macos", "arm64"},
    {"macos", "x86_64"},
    {"windows", "arm64"},
    {"windows", "x86_64"},
}};

// Artifact file names spell arm64 as "aarch64"; Windows names end in ".exe".
std::string artifact_file_name(std::string_view version, const TablePlatform& p) {
  std::string name = std::string(declaration().executable_name) + "-" + std::string(version) +
                     "-" + std::string(p.os) + "-" +
                     std::string(p.arch == "arm64" ? "aarch64" : p.arch);
  if (p.os == "windows") name += ".exe";
  return name;
}

const ReleaseFile& release_file(std::string_view name) {
  for (const ReleaseFile& file : release_files())
    if (file.name == name) return file;
  // The build refuses to generate a table without its files, so a missing
  // row is a broken build, not an input.
  std::abort();
}

Release make_release(std::string_view version) {
  Release release;
  release.version = std::string(version);
  for (const TablePlatform& p : kPlatforms) {
    const std::string name = artifact_file_name(version, p);
    const ReleaseFile& file = release_file(name);
    Build build;
    build.platform = std::string(p.os) + "/" + std::string(p.arch);
    build.url = std::string(kDownloadBase) + std::string(version) + "/" + name;
    build.sha256 = std::string(file.sha256);
    build.byte_length = file.byte_length;
    build.format = ArtifactForm::executable;
    release.builds.push_back(std::move(build));
  }
  return release;
}

}  // namespace

std::string_view artifact_form_name(ArtifactForm form) {
  switch (form) {
    case ArtifactForm::executable: return "executable";
    case ArtifactForm::tar_gzip: return "tar_gzip";
    case ArtifactForm::zip: return "zip";
  }
  std::abort();
}

Platform host_platform() {
#if defined(__linux__)
  constexpr std::string_view os = "linux";
#elif defined(__APPLE__)
  constexpr std::string_view os = "macos";
#elif defined(_WIN32)
  constexpr std::string_view os = "windows";
#else
  constexpr std::string_view os = "unknown";
#endif
#if defined(__x86_64__) || defined(_M_X64)
  constexpr std::string_view arch = "x86_64";
#elif defined(__aarch64__) || defined(_M_ARM64)
  constexpr std::string_view arch = "arm64";
#else
  constexpr std::string_view arch = "unknown";
#endif
  return {os, arch};
}

const std::vector<Release>& release_table() {
  static const std::vector<Release> table = {make_release(kCurrentVersion),
                                             make_release(kPreviousVersion)};
  return table;
}

const Release& current_release() { return release_table()[0]; }
const Release& previous_release() { return release_table()[1]; }

std::string pinned_versions_text() {
  std::vector<std::string> versions;
  for (const Release& release : release_table()) versions.push_back(release.version);
  return join(versions, " and ");
}

Result<const Release*> select_release(std::optional<std::string_view> version) {
  if (!version) return &current_release();
  for (const Release& release : release_table())
    if (release.version == *version) return &release;
  return make_error(ErrorKind::unsupported_operation,
                    "this build names " + std::string(declaration().executable_name) + " " +
                        pinned_versions_text() + "; it cannot install " + std::string(*version) +
                        ", and installing one it does name instead would be answering a "
                        "question nobody asked");
}

Result<const Build*> build_for_platform(const Release& release, std::string_view os,
                                        std::string_view arch) {
  if (release.delivery_note)
    return make_error(ErrorKind::unsupported_operation,
                      release.version + " is delivered by " + release.delivery_note->channel +
                          ": " + release.delivery_note->detail);
  const std::string wanted = std::string(os) + "/" + std::string(arch);
  const std::string os_prefix = std::string(os) + "/";
  bool os_served = false;
  std::vector<std::string> published;
  for (const Build& build : release.builds) {
    if (build.platform == wanted) return &build;
    if (starts_with(build.platform, os_prefix)) os_served = true;
    published.push_back(build.platform);
  }
  return make_error(os_served ? ErrorKind::unsupported_architecture
                              : ErrorKind::unsupported_platform,
                    release.version + " publishes no build for " + wanted + "; it publishes " +
                        join(published, ", "));
}

Result<const Build*> host_build(const Release& release) {
  const Platform host = host_platform();
  return build_for_platform(release, host.os, host.arch);
}

Result<RecognisedArtifact> recognise_digest(std::string_view digest) {
  for (const Release& release : release_table()) {
    VELK_ASSIGN(const Build* build, host_build(release));
    if (build->sha256 == digest) return RecognisedArtifact{&release, build};
  }
  const std::string product(declaration().executable_name);
  const Platform host = host_platform();
  return make_error(ErrorKind::integrity_mismatch,
                    "the artifact given is not a " + product +
                        " release this build names: it hashes to " + std::string(digest) +
                        ", and " + product + " publishes " + pinned_versions_text() + " for " +
                        std::string(host.os) + "/" + std::string(host.arch));
}

Result<RecognisedArtifact> recognise_artifact(const std::string& path) {
  VELK_ASSIGN(const std::string digest, digest_file(path));
  return recognise_digest(digest);
}

}  // namespace velk
