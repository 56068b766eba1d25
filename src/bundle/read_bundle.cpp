#include <utility>

#include "bundle/bundle.h"
#include "bundle/artifact_buffer.h"
#include "bundle/validate.h"
#include "core/digest.h"
#include "core/fs.h"
#include "core/json.h"
#include "core/text.h"

namespace velk {
namespace {


// The bound scope of the binding; nullopt inside is the global scope.
Result<std::optional<TargetScope>> bound_scope(const ProfileBinding& binding) {
  if (binding.target_scope == "global") return std::optional<TargetScope>();
  if (auto scope = parse_scope(binding.target_scope)) return std::optional<TargetScope>(scope);
  return refusal(ReasonCode::projection_profile_mismatch,
                "bundle v2 names unknown target scope " + quoted_form(binding.target_scope));
}

bool scope_accepts(std::optional<TargetScope> bound, RequestedScope requested) {
  switch (requested) {
    case RequestedScope::none: return true;
    case RequestedScope::global: return !bound;
    case RequestedScope::project: return bound == TargetScope::project;
    case RequestedScope::user_root: return bound == TargetScope::user_root;
  }
  std::abort();
}

// The identity: the document digest of the manifest without bundle_digest.
Result<std::string> manifest_identity(std::string_view text) {
  auto document = parse_json(text);
  if (!document.ok())
    return refusal(ReasonCode::unsupported_bundle_format,
                  std::string(kManifestMember) + " does not parse: " + document.error());
  if (!document->is_object())
    return refusal(ReasonCode::unsupported_bundle_format,
                  std::string(kManifestMember) + " is not an object");
  document->erase("bundle_digest");
  auto digest = digest_document(kBundleTag, *document);
  if (!digest.ok()) return std::move(digest).error();
  return std::move(digest).value();
}

}  // namespace

Result<ValidatedBundle> read_bundle(const BundleClaim& claim, RequestedScope requested) {
  // Opened non-blocking and refused unless it is a regular file, so a FIFO
  // or a device at the path never makes validation wait.
  const std::string unreadable = "cannot read the bundle at " + claim.path;
  auto opened = open_artifact(claim.path, unreadable);
  if (!opened.ok())
    return refusal(ReasonCode::digest_mismatch, unreadable + ": " + opened.error().cause);

  if (claim.format != kBundleFormat)
    return refusal(ReasonCode::unsupported_bundle_format,
                   quoted_form(claim.format) + " is not a supported bundle format");
  // The size is judged before a byte is read: a file that is not the size
  // the claim names, or larger than any bundle may be, is never read.
  const uint64_t artifact_size = opened->size;
  if (artifact_size != claim.size)
    return refusal(ReasonCode::digest_mismatch, "the artifact is " + std::to_string(artifact_size) +
                                                    " bytes, not " + std::to_string(claim.size));
  if (artifact_size > kMaxBundleBytes)
    return refusal(ReasonCode::limit_exceeded, "the artifact is " + std::to_string(artifact_size) +
                                                   " bytes against a limit of " +
                                                   std::to_string(kMaxBundleBytes));
  auto read = read_artifact(*opened, unreadable);
  if (!read.ok())
    return refusal(ReasonCode::digest_mismatch, unreadable + ": " + read.error().cause);
  auto storage = std::make_shared<ArtifactBuffer>(std::move(read).value());
  const std::string_view artifact = storage->bytes();
  if (digest_bytes(artifact) != claim.artifact_digest)
    return refusal(ReasonCode::digest_mismatch,
                   "the artifact bytes do not hash to the digest that named them");

  VELK_ASSIGN(std::vector<BundleMember> members, read_container(artifact));
  VELK_ASSIGN(const std::string_view manifest_text, check_member_layout(members));

  auto parsed = parse_manifest(manifest_text);
  if (!parsed.ok())
    return refusal(ReasonCode::unsupported_bundle_format,
                  std::string(kManifestMember) + " does not parse: " + parsed.error());
  BundleManifest manifest = std::move(parsed).value();

  if (manifest.bundle_format != kBundleFormat)
    return refusal(ReasonCode::unsupported_bundle_format,
                  "the manifest declares " + quoted_form(manifest.bundle_format));
  if (manifest.protocol_version != kBundleProtocol)
    return refusal(ReasonCode::unsupported_protocol_version,
                  "the manifest declares bundle protocol " +
                      std::to_string(manifest.protocol_version) + ", and this reader speaks " +
                      std::to_string(kBundleProtocol));
  const std::string_view harness = declaration().product_id;
  if (manifest.harness_id != harness)
    return refusal(ReasonCode::projection_profile_mismatch,
                  "the bundle is for harness " + quoted_form(manifest.harness_id) +
                      ", and this provider configures " + quoted_form(harness));

  VELK_TRY(check_structure(manifest));
  VELK_ASSIGN(auto files, collect_files(manifest, artifact_size, members));

  VELK_ASSIGN(const std::string identity, manifest_identity(manifest_text));
  if (identity != manifest.bundle_digest)
    return refusal(ReasonCode::digest_mismatch,
                  "the manifest does not hash to the identity it declares");
  if (manifest.bundle_digest != claim.bundle_digest)
    return refusal(ReasonCode::digest_mismatch,
                  "the manifest's identity is not the one the caller named");

  const SetupPassport passport = parse_passport(members[1].bytes);

  VELK_ASSIGN(const std::optional<TargetScope> bound, bound_scope(*manifest.projection_profile));
  if (!scope_accepts(bound, requested))
    return refusal(ReasonCode::projection_profile_mismatch,
                  "bundle v2's bound scope differs from the requested target scope");
  VELK_TRY(check_profile_binding(manifest, bound));
  VELK_TRY(check_surfaces(files, requested));
  VELK_TRY(check_component_kinds(manifest, requested));

  ValidatedBundle bundle;
  bundle.storage = std::move(storage);
  bundle.claim = claim;
  bundle.manifest = std::move(manifest);
  bundle.setup_stable_id = passport.stable_id;
  bundle.setup_version = passport.version;
  bundle.bound_scope = bound;
  bundle.files = std::move(files);
  return bundle;
}

}  // namespace velk
