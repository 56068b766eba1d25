// The bundle manifest and the setup passport: parse_manifest and
// parse_passport. A manifest that reads is written back as JSON member by
// member and must read back to the same values; text that is not a JSON
// object never reads as a manifest; a refusal has a message. The passport
// reader is tolerant: it never fails, and gives a member's text exactly when
// the document is an object whose member is a string.
#include "bundle/manifest.h"
#include "core/json.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {

Json optional_u64(const std::optional<uint64_t>& value) {
  return value ? Json(*value) : Json(nullptr);
}

// Every value the reader keeps, as the members it reads them from.
Json manifest_json(const BundleManifest& m) {
  Json o = Json::object();
  o["schema_version"] = m.schema_version;
  o["protocol_version"] = m.protocol_version;
  o["bundle_format"] = m.bundle_format;
  o["bundle_digest"] = m.bundle_digest;
  o["harness_id"] = m.harness_id;
  o["builder_version"] = m.builder_version;
  o["input_digest"] = m.input_digest;
  o["target_scope"] = text_or_null(m.target_scope);
  if (m.projection_profile) {
    o["projection_profile"] = {{"profile_id", m.projection_profile->profile_id},
                               {"profile_digest", m.projection_profile->profile_digest},
                               {"target_scope", m.projection_profile->target_scope}};
  } else {
    o["projection_profile"] = nullptr;
  }
  Json adaptations = Json::array();
  for (const ComponentAdaptation& a : m.component_adaptations) {
    Json j = Json::object();
    j["version"] = a.version;
    j["stable_id"] = a.stable_id;
    j["member_paths"] = a.member_paths;
    j["adaptation_id"] = a.adaptation_id;
    j["passport_digest"] = a.passport_digest;
    j["projection_kind"] = a.projection_kind;
    j["projection_artifact"] = {{"digest", a.projection_artifact.digest},
                                {"size_bytes", a.projection_artifact.size_bytes}};
    j["provider_component_kind"] = a.provider_component_kind;
    adaptations.push_back(std::move(j));
  }
  o["component_adaptations"] = std::move(adaptations);
  Json entries = Json::array();
  for (const ConversionEntry& e : m.conversion_report.entries)
    entries.push_back({{"stable_id", e.stable_id},
                       {"component_type", e.component_type},
                       {"native_surface", e.native_surface}});
  o["conversion_report"] = {{"complete", m.conversion_report.complete}, {"entries", entries}};
  o["managed_paths"] = m.managed_paths;
  Json files = Json::array();
  for (const BundleFile& f : m.files)
    files.push_back({{"path", f.path},
                     {"kind", f.kind},
                     {"mode", f.mode},
                     {"owner", f.owner},
                     {"digest", f.digest},
                     {"byte_length", f.byte_length}});
  o["files"] = std::move(files);
  o["limits"] = {{"max_files", optional_u64(m.limits.max_files)},
                 {"max_file_bytes", optional_u64(m.limits.max_file_bytes)},
                 {"max_bundle_bytes", optional_u64(m.limits.max_bundle_bytes)}};
  return o;
}

void check_limits(const BundleLimits& l) {
  VELK_FUZZ_CHECK(l.effective_files() <= kMaxBundleFiles, std::to_string(l.effective_files()));
  VELK_FUZZ_CHECK(l.effective_file_bytes() <= kMaxBundleFileBytes,
                  std::to_string(l.effective_file_bytes()));
  VELK_FUZZ_CHECK(l.effective_bundle_bytes() <= kMaxBundleBytes,
                  std::to_string(l.effective_bundle_bytes()));
  if (l.max_files) VELK_FUZZ_CHECK(l.effective_files() <= *l.max_files, "max_files loosened");
}

void check_passport(std::string_view text) {
  const SetupPassport passport = parse_passport(text);
  auto document = parse_json(text);
  const auto expected = [&](std::string_view name) -> std::string {
    if (!document.ok() || !document->is_object()) return "";
    const Json* member = find_member(*document, name);
    return member && member->is_string() ? member->get<std::string>() : "";
  };
  VELK_FUZZ_CHECK(passport.stable_id == expected("stable_id"), passport.stable_id);
  VELK_FUZZ_CHECK(passport.version == expected("version"), passport.version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = as_text(data, size);
  check_passport(text);

  auto parsed = parse_manifest(text);
  auto document = parse_json(text);
  if (!parsed.ok()) {
    VELK_FUZZ_CHECK(!parsed.error().empty(), "a refusal without a message");
    return 0;
  }
  VELK_FUZZ_CHECK(document.ok() && document->is_object(),
                  "a manifest read from text that is no JSON object");
  check_limits(parsed->limits);

  const Json written = manifest_json(*parsed);
  const std::string text2 = compact_json(written);
  auto again = parse_manifest(text2);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? "" : again.error());
  const std::string text3 = compact_json(manifest_json(*again));
  VELK_FUZZ_CHECK(text2 == text3, text2 + "\n" + text3);
  return 0;
}
