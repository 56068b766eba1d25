#include "store/state.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/json.h"
#include "core/text.h"
#include "product/write_rule.h"

namespace velk {

std::string_view drift_state_name(DriftState state) {
  switch (state) {
    case DriftState::clean: return "clean";
    case DriftState::local_drift: return "local_drift";
    case DriftState::unknown: return "unknown";
  }
  std::abort();
}

std::string state_file_path(const std::string& target) {
  return path_join(target, declaration().state_file_name);
}

namespace {

Error state_error(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

// The declared schema: a non-negative integer member "state_schema" of a
// top-level object, or nothing.
std::optional<uint64_t> declared_schema(const Json& document) {
  if (!document.is_object()) return std::nullopt;
  const Json* member = find_member(document, "state_schema");
  if (!member) return std::nullopt;
  if (member->is_number_unsigned()) return member->get<uint64_t>();
  if (member->is_number_integer() && member->get<int64_t>() >= 0)
    return static_cast<uint64_t>(member->get<int64_t>());
  return std::nullopt;
}

Mapped<DriftState> field_drift_state(const Json& object) {
  auto word = field_string(object, "drift_state");
  if (!word.ok()) return std::move(word).error();
  for (const DriftState s : {DriftState::clean, DriftState::local_drift, DriftState::unknown})
    if (*word == drift_state_name(s)) return s;
  return "unknown variant `" + *word +
         "` for field `drift_state`, expected one of `clean`, `local_drift`, `unknown`";
}

// Assigns a mapped field or returns its error text from the enclosing
// mapping function.
#define VELK_MAP(field, expr)                          \
  do {                                                 \
    auto velk_mapped_ = (expr);                        \
    if (!velk_mapped_.ok()) return velk_mapped_.error(); \
    state.field = std::move(velk_mapped_).value();     \
  } while (0)

Mapped<ProviderState> map_state(const Json& o) {
  ProviderState state;
  VELK_MAP(state_schema, field_u32(o, "state_schema"));
  VELK_MAP(protocol_version, field_u32(o, "protocol_version"));
  VELK_MAP(provider_id, field_string(o, "provider_id"));
  VELK_MAP(provider_version, field_string(o, "provider_version"));
  VELK_MAP(provider_build_digest, field_string(o, "provider_build_digest"));
  VELK_MAP(provider_release_digest, field_optional_string(o, "provider_release_digest"));
  VELK_MAP(harness_id, field_string(o, "harness_id"));
  VELK_MAP(canonical_target, field_string(o, "canonical_target"));
  VELK_MAP(target_identity_digest, field_string(o, "target_identity_digest"));
  VELK_MAP(setup_stable_id, field_optional_string(o, "setup_stable_id"));
  VELK_MAP(setup_version, field_optional_string(o, "setup_version"));
  VELK_MAP(setup_version_passport_digest, field_optional_string(o, "setup_version_passport_digest"));
  VELK_MAP(setup_definition_digest, field_optional_string(o, "setup_definition_digest"));
  VELK_MAP(component_refs, field_string_list(o, "component_refs"));
  VELK_MAP(bundle_format, field_optional_string(o, "bundle_format"));
  VELK_MAP(bundle_digest, field_optional_string(o, "bundle_digest"));
  VELK_MAP(artifact_digest, field_optional_string(o, "artifact_digest"));
  VELK_MAP(projection_profile_digest, field_optional_string(o, "projection_profile_digest"));
  VELK_MAP(provider_plan_digest, field_optional_string(o, "provider_plan_digest"));
  VELK_MAP(operation_id, field_string(o, "operation_id"));
  VELK_MAP(target_precondition_digest, field_string(o, "target_precondition_digest"));
  VELK_MAP(native_ownership, field_string_list(o, "native_ownership"));
  VELK_MAP(written_paths, field_string_list(o, "written_paths"));
  VELK_MAP(backup_ref, field_optional_string(o, "backup_ref"));
  VELK_MAP(previous_verified_identity, field_optional_string(o, "previous_verified_identity"));
  VELK_MAP(drift_state, field_drift_state(o));
  return state;
}

#undef VELK_MAP

Json list_json(const std::vector<std::string>& items) {
  Json array = Json::array();
  for (const auto& item : items) array.push_back(item);
  return array;
}

}  // namespace

Status check_recorded_paths(const std::string& record, std::string_view field,
                            const std::vector<std::string>& paths,
                            std::optional<TargetScope> scope) {
  for (const std::string& path : paths)
    if (auto refusal = recorded_path_refusal(path, scope))
      return state_error(record + " records " + quoted_form(path) + " in " + std::string(field) +
                         ", which " + *refusal +
                         "; the record is refused and nothing it names is acted on");
  return {};
}

std::vector<std::string> recordable_paths(std::vector<std::string> paths,
                                          std::optional<TargetScope> scope) {
  std::erase_if(paths, [&](const std::string& p) { return recorded_path_refusal(p, scope).has_value(); });
  return paths;
}

namespace {

// The members a state record defines; others are read but never built.
const std::vector<std::string_view>& state_members() {
  static const std::vector<std::string_view> members = {
      "state_schema", "protocol_version", "provider_id", "provider_version",
      "provider_build_digest", "provider_release_digest", "harness_id", "canonical_target",
      "target_identity_digest", "setup_stable_id", "setup_version",
      "setup_version_passport_digest", "setup_definition_digest", "component_refs",
      "bundle_format", "bundle_digest", "artifact_digest", "projection_profile_digest",
      "provider_plan_digest", "operation_id", "target_precondition_digest", "native_ownership",
      "written_paths", "backup_ref", "previous_verified_identity", "drift_state"};
  return members;
}

// The most values a state record is built from: its lists of written paths
// and components each hold at most what a profile admits (8192 files), with
// room to spare; a record padded past that is refused, not built.
constexpr size_t kStateValueCap = 1 << 17;

}  // namespace

Result<StateRead> parse_state(const std::string& path, std::string_view bytes) {
  auto parsed = parse_json_members(bytes, state_members(), kStateValueCap);
  if (!parsed.ok())
    return with_cause(ErrorKind::state_unavailable, path + " does not parse as JSON", parsed.error());
  const Json& document = *parsed;

  const std::optional<uint64_t> schema = declared_schema(document);
  if (!schema) return state_error(path + " declares no state_schema");
  if (*schema != kStateSchema) {
    StateRead read;
    read.kind = StateRead::Kind::other_schema;
    read.found_schema = *schema;
    return read;
  }

  auto mapped = map_state(document);
  if (!mapped.ok())
    return with_cause(ErrorKind::state_unavailable,
                      path + " is schema " + std::to_string(kStateSchema) + " but does not match it",
                      mapped.error());
  StateRead read;
  read.kind = StateRead::Kind::present;
  read.state = std::move(mapped).value();
  // The paths a record names are acted on (cleared, restored) under its
  // scope: a record found in the target is data, and one naming a path
  // outside what the scope owns is refused here, before anything uses it.
  VELK_TRY(check_recorded_paths(path, "written_paths", read.state.written_paths,
                                recorded_scope(read.state)));
  return read;
}

Result<StateRead> read_state(const Dir& target) {
  const std::string path = state_file_path(target.path());
  auto bytes = target.read(std::string(declaration().state_file_name), "cannot read " + path,
                           kStateFileCap);
  if (!bytes.ok()) {
    if (bytes.error().sys_errno == ENOENT) return StateRead{};
    return std::move(bytes).error();
  }
  return parse_state(path, *bytes);
}

std::optional<TargetScope> recorded_scope(const ProviderState& state) {
  if (state.native_ownership == declaration().user_root_profile.native_namespaces)
    return TargetScope::user_root;
  return std::nullopt;
}

Result<std::string> encode_state(const ProviderState& s) {
  Json o = Json::object();
  o["state_schema"] = s.state_schema;
  o["protocol_version"] = s.protocol_version;
  o["provider_id"] = s.provider_id;
  o["provider_version"] = s.provider_version;
  o["provider_build_digest"] = s.provider_build_digest;
  o["provider_release_digest"] = text_or_null(s.provider_release_digest);
  o["harness_id"] = s.harness_id;
  o["canonical_target"] = s.canonical_target;
  o["target_identity_digest"] = s.target_identity_digest;
  o["setup_stable_id"] = text_or_null(s.setup_stable_id);
  o["setup_version"] = text_or_null(s.setup_version);
  o["setup_version_passport_digest"] = text_or_null(s.setup_version_passport_digest);
  o["setup_definition_digest"] = text_or_null(s.setup_definition_digest);
  o["component_refs"] = list_json(s.component_refs);
  o["bundle_format"] = text_or_null(s.bundle_format);
  o["bundle_digest"] = text_or_null(s.bundle_digest);
  o["artifact_digest"] = text_or_null(s.artifact_digest);
  o["projection_profile_digest"] = text_or_null(s.projection_profile_digest);
  o["provider_plan_digest"] = text_or_null(s.provider_plan_digest);
  o["operation_id"] = s.operation_id;
  o["target_precondition_digest"] = s.target_precondition_digest;
  o["native_ownership"] = list_json(s.native_ownership);
  o["written_paths"] = list_json(s.written_paths);
  o["backup_ref"] = text_or_null(s.backup_ref);
  o["previous_verified_identity"] = text_or_null(s.previous_verified_identity);
  o["drift_state"] = std::string(drift_state_name(s.drift_state));

  auto bytes = canonical_json(o);
  if (!bytes.ok())
    return caused_by(ErrorKind::state_unavailable, "cannot encode the provider state", bytes.error());
  return std::move(bytes).value();
}

Status write_state(const Dir& target, const ProviderState& state) {
  VELK_ASSIGN(std::string bytes, encode_state(state));
  return target.write(std::string(declaration().state_file_name), bytes);
}

Status remove_state_staging(const Dir& target) {
  const std::string name = "." + std::string(declaration().state_file_name) + ".staging";
  if (const int e = target.unlink(name); e != 0 && e != ENOENT)
    return system_error(ErrorKind::state_unavailable, "cannot remove " + target.below(name), e);
  return {};
}

Result<std::vector<std::string>> managed_paths(const Dir& target, std::optional<TargetScope> scope) {
  if (scope != TargetScope::user_root) return declaration().owned_paths();
  VELK_ASSIGN(StateRead read, read_state(target));
  return managed_paths(target.path(), scope, read);
}

Result<std::vector<std::string>> managed_paths(const std::string& target,
                                               std::optional<TargetScope> scope,
                                               const StateRead& read) {
  const ProductDeclaration& d = declaration();
  if (scope != TargetScope::user_root) return d.owned_paths();
  switch (read.kind) {
    case StateRead::Kind::absent: return std::vector<std::string>{};
    case StateRead::Kind::present:
      // Paths written under another scope were checked against that one.
      VELK_TRY(check_recorded_paths(state_file_path(target), "written_paths",
                                    read.state.written_paths, TargetScope::user_root));
      return read.state.written_paths;
    case StateRead::Kind::other_schema: break;
  }
  return make_error(
      ErrorKind::unsupported_operation,
      "an operation under target_scope " + std::string(scope_name(TargetScope::user_root)) +
          " acts on the files this provider recorded writing, and " + target +
          " holds a state file written before this build recorded them. Refused rather than "
          "widened to " +
          join(d.user_root_profile.native_namespaces, ", ") +
          " whole, which under this scope is a root several products read. Reinstall to "
          "establish a record, or point --target at this product's own configuration home.");
}

std::string legacy_stamp_path(const std::string& target) {
  return path_join(target, declaration().legacy_stamp_name);
}

Result<std::optional<std::string>> read_legacy_stamp(const Dir& target) {
  const std::string name(declaration().legacy_stamp_name);
  const std::string path = target.below(name);
  // "{path} cannot be read: {error}", the error also kept as the cause.
  const auto unreadable = [&](std::string why) {
    return with_cause(ErrorKind::state_unavailable, path + " cannot be read: " + why, why);
  };
  int err = 0;
  const auto st = target.stat(name, &err);
  if (!st) {
    if (err == 0) return std::optional<std::string>{};
    return unreadable(errno_text(err));
  }
  if (S_ISLNK(st->st_mode))
    return unreadable("it is a symbolic link, which this build does not follow inside a target");
  auto text = target.read(name, path + " cannot be read", kLegacyStampCap);
  if (!text.ok()) return unreadable(text.error().has_cause() ? text.error().cause : text.error().message);
  return std::optional<std::string>(std::move(text).value());
}


}  // namespace velk
