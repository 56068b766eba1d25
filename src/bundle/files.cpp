#include <map>
#include <optional>
#include <utility>

#include "bundle/validate.h"
#include "core/digest.h"
#include "core/path_rules.h"
#include "core/text.h"

namespace velk {
namespace {

constexpr std::string_view kFilesPrefix = "files/";
constexpr size_t kFixedMembers = 4;


// An archive member that carries a file, keyed by its path.
struct ArchiveFile {
  size_t index = 0;
  bool taken = false;  // its bytes have moved into the file map
};

// The path a member carries: the rest of a name that starts with "files/",
// has more after it and does not end in "/" (a directory entry).
std::optional<std::string_view> file_key(std::string_view name) {
  if (name.size() > kFilesPrefix.size() && starts_with(name, kFilesPrefix) && !ends_with(name, "/"))
    return name.substr(kFilesPrefix.size());
  return std::nullopt;
}

std::map<std::string_view, ArchiveFile> archive_files(const std::vector<BundleMember>& members) {
  std::map<std::string_view, ArchiveFile> out;
  for (size_t i = kFixedMembers; i < members.size(); ++i)
    if (const auto key = file_key(members[i].name)) out.emplace(*key, ArchiveFile{i});
  return out;
}

// The declared checks of one file, in order, ending with its bytes joining
// the map.
Status take_file(const BundleFile& file, const BundleLimits& limits,
                      std::map<std::string_view, ArchiveFile>& archive,
                      std::vector<BundleMember>& members,
                      std::map<std::string, std::string>& folded,
                      std::map<std::string, BundleFileData>& files) {
  VELK_TRY(check_bundle_path(file.path));
  const std::string path = quoted_form(file.path);
  if (file.kind == "symlink" || file.kind == "hardlink")
    return refusal(ReasonCode::link_not_allowed, path + " is declared as a link, which is never materialized");
  if (file.kind != "file")
    return refusal(ReasonCode::special_file_not_allowed, path + " is declared as neither a file nor a link");
  if (file.mode != 0644 && file.mode != 0755)
    return refusal(ReasonCode::unsupported_native_surface,
                  path + " declares mode " + std::to_string(file.mode) + ", which is not allowed");
  if (file.byte_length > limits.effective_file_bytes())
    return refusal(ReasonCode::limit_exceeded, path + " is larger than the declared file limit");
  const auto [earlier, fresh] = folded.emplace(unicode_lower(file.path), file.path);
  if (!fresh && earlier->second != file.path)
    return refusal(ReasonCode::path_duplicate,
                  path + " and " + quoted_form(earlier->second) + " differ only in case");
  const auto member = archive.find(file.path);
  if (member == archive.end())
    return refusal(ReasonCode::digest_mismatch,
                  "the manifest declares " + path + ", which the archive does not carry");
  // A path declared a second time is compared with the bytes the first
  // declaration took, so both reach the duplicate check below.
  const std::string_view bytes = member->second.taken ? files.at(file.path).bytes
                                                     : members[member->second.index].bytes;
  if (bytes.size() != file.byte_length)
    return refusal(ReasonCode::digest_mismatch, path + " is " + std::to_string(bytes.size()) +
                                                   " bytes, not " + std::to_string(file.byte_length));
  if (digest_bytes(bytes) != file.digest)
    return refusal(ReasonCode::digest_mismatch, path + " does not hash to the digest that declares it");
  if (member->second.taken) return refusal(ReasonCode::path_duplicate, path + " is declared twice");
  files.emplace(file.path, BundleFileData{members[member->second.index].bytes, file.mode});
  member->second.taken = true;
  return {};
}

// A file below a path that is itself declared as a file could never be
// written: the parent would have to be a directory and a file at once.
// Compared case-folded, as the duplicate check is, since the same clash
// arises on a file system that ignores case.
Status check_nesting(const std::map<std::string, BundleFileData>& files) {
  std::map<std::string, std::string_view> folded;
  for (const auto& [path, data] : files) folded.emplace(unicode_lower(path), path);
  for (const auto& [lowered, path] : folded) {
    for (size_t slash = lowered.find('/'); slash != std::string::npos;
         slash = lowered.find('/', slash + 1)) {
      const auto parent = folded.find(lowered.substr(0, slash));
      if (parent != folded.end())
        return refusal(ReasonCode::path_duplicate, quoted_form(path) + " lies below " +
                                                      quoted_form(parent->second) +
                                                      ", which is declared as a file");
    }
  }
  return {};
}

}  // namespace

Result<std::map<std::string, BundleFileData>> collect_files(
    const BundleManifest& manifest, uint64_t artifact_size, std::vector<BundleMember>& members) {
  const BundleLimits& limits = manifest.limits;
  if (manifest.files.size() > limits.effective_files())
    return refusal(ReasonCode::limit_exceeded, std::to_string(manifest.files.size()) +
                                                  " files declared against a limit of " +
                                                  std::to_string(limits.effective_files()));
  if (artifact_size > limits.effective_bundle_bytes())
    return refusal(ReasonCode::limit_exceeded, "the artifact is " + std::to_string(artifact_size) +
                                                  " bytes against a limit of " +
                                                  std::to_string(limits.effective_bundle_bytes()));

  auto archive = archive_files(members);
  std::map<std::string, std::string> folded;  // lower-cased path -> first path
  std::map<std::string, BundleFileData> files;
  for (const BundleFile& file : manifest.files)
    VELK_TRY(take_file(file, limits, archive, members, folded, files));
  VELK_TRY(check_nesting(files));

  for (size_t i = kFixedMembers; i < members.size(); ++i) {
    const auto key = file_key(members[i].name);
    if (key && !archive.at(*key).taken)
      return refusal(ReasonCode::unsupported_native_surface,
                    "the archive carries " + quoted_form(*key) + ", which the manifest does not declare");
  }
  return files;
}

}  // namespace velk
