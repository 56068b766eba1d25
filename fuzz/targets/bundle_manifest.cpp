// The bundle manifest (parse_manifest) and the setup passport
// (parse_passport). A manifest reads only from a JSON object and, written
// back member by member, reads back to the same values. The passport reader
// never fails, and gives a member's text exactly when it is a string member
// of an object.
#include "bundle/manifest.h"
#include "core/json.h"
#include "support/fuzz_support.h"

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
  const auto& profile = m.projection_profile;
  o["projection_profile"] = profile ? Json{{"profile_id", profile->profile_id},
                                           {"profile_digest", profile->profile_digest},
                                           {"target_scope", profile->target_scope}}
                                    : Json(nullptr);
  Json& adaptations = o["component_adaptations"] = Json::array();
  for (const ComponentAdaptation& a : m.component_adaptations)
    adaptations.push_back({{"version", a.version}, {"stable_id", a.stable_id},
                           {"member_paths", a.member_paths}, {"adaptation_id", a.adaptation_id},
                           {"passport_digest", a.passport_digest},
                           {"projection_kind", a.projection_kind},
                           {"projection_artifact",
                            {{"digest", a.projection_artifact.digest},
                             {"size_bytes", a.projection_artifact.size_bytes}}},
                           {"provider_component_kind", a.provider_component_kind}});
  Json entries = Json::array();
  for (const ConversionEntry& e : m.conversion_report.entries)
    entries.push_back({{"stable_id", e.stable_id}, {"component_type", e.component_type},
                       {"native_surface", e.native_surface}});
  o["conversion_report"] = {{"complete", m.conversion_report.complete}, {"entries", entries}};
  o["managed_paths"] = m.managed_paths;
  Json& files = o["files"] = Json::array();
  for (const BundleFile& f : m.files)
    files.push_back({{"path", f.path}, {"kind", f.kind}, {"mode", f.mode}, {"owner", f.owner},
                     {"digest", f.digest}, {"byte_length", f.byte_length}});
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

void check_passport(std::string_view text, const Result<Json, std::string>& document) {
  const SetupPassport passport = parse_passport(text);
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
  const auto document = parse_json(text);
  check_passport(text, document);

  const auto parsed = parse_manifest(text);
  if (refused(parsed)) return 0;
  VELK_FUZZ_CHECK(document.ok() && document->is_object(),
                  "a manifest read from text that is no JSON object");
  check_limits(parsed->limits);

  const std::string text2 = compact_json(manifest_json(*parsed));
  const std::string text3 = compact_json(manifest_json(must(parse_manifest(text2), text2)));
  VELK_FUZZ_CHECK(text2 == text3, text2 + "\n" + text3);
  return 0;
}
