// The state file at the top of a target: what this provider last did there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/dir.h"
#include "core/error.h"
#include "product/declaration.h"

namespace velk {

enum class DriftState { clean, local_drift, unknown };
std::string_view drift_state_name(DriftState state);

inline constexpr uint32_t kStateSchema = 4;

// The largest state file this build reads (a record of 8192 written paths
// of up to 1024 bytes each stays well below it), and the largest legacy
// stamp.
inline constexpr uint64_t kStateFileCap = 32 * 1024 * 1024;
inline constexpr uint64_t kLegacyStampCap = 16 * 1024 * 1024;

// What a change wrote, as its record says: the setup and the bundle it came
// in, the components, and the paths. An operation's effects produce it and
// the state file carries it; it is defined once, here.
struct WrittenContent {
  std::optional<std::string> setup_stable_id;
  std::optional<std::string> setup_version;
  std::optional<std::string> setup_version_passport_digest;
  std::optional<std::string> setup_definition_digest;
  std::vector<std::string> component_refs;
  std::optional<std::string> bundle_format;
  std::optional<std::string> bundle_digest;
  std::optional<std::string> artifact_digest;
  std::vector<std::string> written_paths;
  bool operator==(const WrittenContent&) const = default;
};

// The state file's record. Its members are written and read in the file's
// own order (encode_state), whatever the order of the fields here.
struct ProviderState : WrittenContent {
  uint32_t state_schema = kStateSchema;
  uint32_t protocol_version = 3;
  std::string provider_id;
  std::string provider_version;
  std::string provider_build_digest;
  std::optional<std::string> provider_release_digest;
  std::string harness_id;
  std::string canonical_target;
  std::string target_identity_digest;
  std::optional<std::string> projection_profile_digest;
  std::optional<std::string> provider_plan_digest;
  std::string operation_id;
  std::string target_precondition_digest;
  std::vector<std::string> native_ownership;
  std::optional<std::string> backup_ref;
  std::optional<std::string> previous_verified_identity;
  DriftState drift_state = DriftState::clean;
  bool operator==(const ProviderState&) const = default;
};

struct StateRead {
  enum class Kind { absent, present, other_schema };
  Kind kind = Kind::absent;
  ProviderState state;        // when present
  uint64_t found_schema = 0;  // when other_schema
  bool present() const { return kind == Kind::present; }
};

// The state file's path in a target.
std::string state_file_path(const std::string& target);

// Errors (state_unavailable): "cannot read {path}", "{path} does not parse
// as JSON", "{path} declares no state_schema", "{path} is schema 4 but does
// not match it", and the refusal of a recorded path (check_recorded_paths).
Result<StateRead> read_state(const Dir& target);
// The same reading of bytes found elsewhere (the state file a slot keeps);
// `path` names them in messages.
Result<StateRead> parse_state(const std::string& path, std::string_view bytes);

// The scope a record stands for: user_root when its native_ownership is
// exactly the user-root namespaces, otherwise none.
std::optional<TargetScope> recorded_scope(const ProviderState& state);

// Refuses a record whose paths could not be acted on safely under the scope
// (recorded_path_refusal of product/write_rule.h): "{record} records {path}
// in {field}, which {why}; the record is refused and nothing it names is
// acted on" (state_unavailable).
Status check_recorded_paths(const std::string& record, std::string_view field,
                            const std::vector<std::string>& paths,
                            std::optional<TargetScope> scope);

// The canonical bytes of a record (every field present, absent ones null).
Result<std::string> encode_state(const ProviderState& state);

// Replaces the state file through write_file_atomically_at, given the
// target's owner.
Status write_state(const Dir& target, const ProviderState& state);

// Removes the staging copy a write_state killed before its rename left at
// the target's top ("." + the state file's name + ".staging"); that name is
// this provider's own. Nothing there is not an error.
Status remove_state_staging(const Dir& target);

// The owned paths an operation acts on under a scope: the twelve owned
// surfaces for none or project; under user_root the paths the state file
// records in written_paths (none without a state file), and a refusal
// (unsupported_operation) for a state file that predates that record.
Result<std::vector<std::string>> managed_paths(const Dir& target, std::optional<TargetScope> scope);
// The same from a state file already read; `target` names it in messages.
Result<std::vector<std::string>> managed_paths(const std::string& target,
                                               std::optional<TargetScope> scope,
                                               const StateRead& read);

// The paths of `paths` that a record under the scope may name (those
// check_recorded_paths would accept), in order. A restore under the global
// scope brings back whatever the payload holds, and records only these.
std::vector<std::string> recordable_paths(std::vector<std::string> paths,
                                          std::optional<TargetScope> scope);

// The old tools' stamp at the top of a target: its path, and its bytes, or
// nullopt when there is none. A link in its place is not followed: "{path}
// cannot be read: it is a symbolic link, which this build does not follow
// inside a target" (state_unavailable); other failures "{path} cannot be
// read" with the system error.
std::string legacy_stamp_path(const std::string& target);
Result<std::optional<std::string>> read_legacy_stamp(const Dir& target);

// The directory of the control directory that keeps adopted stamps.
inline constexpr std::string_view kAdoptedDirName = "adopted";


}  // namespace velk
