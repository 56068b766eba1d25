#include "bundle/manifest.h"

#include <algorithm>

#include "core/json.h"

namespace velk {
namespace {

// Each reader stores the member into `out` or returns the mapping error.
// Optional members that are absent or null take the empty value; a present
// value of the wrong type is an error like a required one.
using Check = Result<void, std::string>;

std::string type_error(std::string_view name, std::string_view what, const Json& found) {
  return "invalid type for field `" + std::string(name) + "`: expected " + std::string(what) +
         ", found " + json_type_words(found);
}

bool absent(const Json* member) { return member == nullptr || member->is_null(); }

template <class T>
Check store(Mapped<T> mapped, T& out) {
  if (!mapped.ok()) return std::move(mapped).error();
  out = std::move(mapped).value();
  return {};
}

Check required_string(const Json& o, std::string_view name, std::string& out) {
  return store(field_string(o, name), out);
}

Check optional_string(const Json& o, std::string_view name, std::string& out) {
  std::optional<std::string> value;
  VELK_TRY(store(field_optional_string(o, name), value));
  out = value.value_or(std::string());
  return {};
}

Check optional_u64(const Json& o, std::string_view name, uint64_t& out) {
  std::optional<uint64_t> value;
  VELK_TRY(store(field_optional_u64(o, name), value));
  out = value.value_or(0);
  return {};
}

Check optional_u32(const Json& o, std::string_view name, uint32_t& out) {
  out = 0;
  if (absent(find_member(o, name))) return {};
  return store(field_u32(o, name), out);
}

Check optional_bool(const Json& o, std::string_view name, bool& out) {
  out = false;
  if (absent(find_member(o, name))) return {};
  return store(field_bool(o, name), out);
}

Check optional_strings(const Json& o, std::string_view name, std::vector<std::string>& out) {
  return store(field_optional_string_list(o, name), out);
}

// The member as an object in `out`, or nullptr when it is absent or null.
Check optional_object(const Json& o, std::string_view name, const Json*& out) {
  out = find_member(o, name);
  if (absent(out)) {
    out = nullptr;
    return {};
  }
  if (!out->is_object()) return type_error(name, "an object", *out);
  return {};
}

template <class T, class Fn>
Check optional_objects(const Json& o, std::string_view name, std::vector<T>& out, Fn map_one) {
  out.clear();
  const Json* member = find_member(o, name);
  if (absent(member)) return {};
  if (!member->is_array()) return type_error(name, "an array", *member);
  out.reserve(member->size());
  for (const Json& item : *member) {
    const Json* element = nullptr;
    VELK_TRY(store(as_object(item), element));
    T value;
    VELK_TRY(map_one(*element, value));
    out.push_back(std::move(value));
  }
  return {};
}

Check map_binding(const Json& o, ProfileBinding& b) {
  VELK_TRY(optional_string(o, "profile_id", b.profile_id));
  VELK_TRY(optional_string(o, "profile_digest", b.profile_digest));
  return optional_string(o, "target_scope", b.target_scope);
}

Check map_adaptation(const Json& o, ComponentAdaptation& a) {
  VELK_TRY(optional_string(o, "version", a.version));
  VELK_TRY(optional_string(o, "stable_id", a.stable_id));
  VELK_TRY(optional_strings(o, "member_paths", a.member_paths));
  VELK_TRY(optional_string(o, "adaptation_id", a.adaptation_id));
  VELK_TRY(optional_string(o, "passport_digest", a.passport_digest));
  VELK_TRY(optional_string(o, "projection_kind", a.projection_kind));
  const Json* artifact = nullptr;
  VELK_TRY(optional_object(o, "projection_artifact", artifact));
  if (artifact) {
    VELK_TRY(optional_string(*artifact, "digest", a.projection_artifact.digest));
    VELK_TRY(optional_u64(*artifact, "size_bytes", a.projection_artifact.size_bytes));
  }
  return optional_string(o, "provider_component_kind", a.provider_component_kind);
}

Check map_entry(const Json& o, ConversionEntry& e) {
  VELK_TRY(optional_string(o, "stable_id", e.stable_id));
  VELK_TRY(optional_string(o, "component_type", e.component_type));
  return optional_string(o, "native_surface", e.native_surface);
}

Check map_file(const Json& o, BundleFile& f) {
  VELK_TRY(optional_string(o, "path", f.path));
  VELK_TRY(optional_string(o, "kind", f.kind));
  VELK_TRY(optional_u32(o, "mode", f.mode));
  VELK_TRY(optional_string(o, "owner", f.owner));
  VELK_TRY(optional_string(o, "digest", f.digest));
  return optional_u64(o, "byte_length", f.byte_length);
}

Check map_manifest(const Json& o, BundleManifest& m) {
  VELK_TRY(store(field_u32(o, "schema_version"), m.schema_version));
  VELK_TRY(store(field_u32(o, "protocol_version"), m.protocol_version));
  VELK_TRY(required_string(o, "bundle_format", m.bundle_format));
  VELK_TRY(required_string(o, "bundle_digest", m.bundle_digest));
  VELK_TRY(required_string(o, "harness_id", m.harness_id));
  VELK_TRY(optional_string(o, "builder_version", m.builder_version));
  VELK_TRY(optional_string(o, "input_digest", m.input_digest));
  VELK_TRY(store(field_optional_string(o, "target_scope"), m.target_scope));
  const Json* binding = nullptr;
  VELK_TRY(optional_object(o, "projection_profile", binding));
  if (binding) {
    m.projection_profile.emplace();
    VELK_TRY(map_binding(*binding, *m.projection_profile));
  }
  VELK_TRY(optional_objects(o, "component_adaptations", m.component_adaptations, map_adaptation));
  const Json* report = nullptr;
  VELK_TRY(optional_object(o, "conversion_report", report));
  if (report) {
    VELK_TRY(optional_bool(*report, "complete", m.conversion_report.complete));
    VELK_TRY(optional_objects(*report, "entries", m.conversion_report.entries, map_entry));
  }
  VELK_TRY(optional_strings(o, "managed_paths", m.managed_paths));
  VELK_TRY(optional_objects(o, "files", m.files, map_file));
  const Json* limits = nullptr;
  VELK_TRY(optional_object(o, "limits", limits));
  if (limits) {
    VELK_TRY(store(field_optional_u64(*limits, "max_files"), m.limits.max_files));
    VELK_TRY(store(field_optional_u64(*limits, "max_file_bytes"), m.limits.max_file_bytes));
    VELK_TRY(store(field_optional_u64(*limits, "max_bundle_bytes"), m.limits.max_bundle_bytes));
  }
  return {};
}

uint64_t effective(const std::optional<uint64_t>& given, uint64_t ceiling) {
  return given ? std::min(*given, ceiling) : ceiling;
}

}  // namespace

uint64_t BundleLimits::effective_files() const { return effective(max_files, kMaxBundleFiles); }
uint64_t BundleLimits::effective_file_bytes() const {
  return effective(max_file_bytes, kMaxBundleFileBytes);
}
uint64_t BundleLimits::effective_bundle_bytes() const {
  return effective(max_bundle_bytes, kMaxBundleBytes);
}

Result<BundleManifest, std::string> parse_manifest(std::string_view text) {
  VELK_ASSIGN(const Json document, parse_json(text));
  VELK_ASSIGN(const Json* object, as_object(document));
  BundleManifest manifest;
  VELK_TRY(map_manifest(*object, manifest));
  return manifest;
}

SetupPassport parse_passport(std::string_view text) {
  SetupPassport passport;
  auto document = parse_json(text);
  if (!document.ok() || !document->is_object()) return passport;
  if (const Json* id = find_member(*document, "stable_id"); id && id->is_string())
    passport.stable_id = id->get<std::string>();
  if (const Json* version = find_member(*document, "version"); version && version->is_string())
    passport.version = version->get<std::string>();
  return passport;
}

}  // namespace velk
