#include "core/error.h"

#include <cstring>

namespace velk {

std::string_view kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::unsupported_operation: return "unsupported_operation";
    case ErrorKind::unsupported_component_kind: return "unsupported_component_kind";
    case ErrorKind::unsupported_native_surface: return "unsupported_native_surface";
    case ErrorKind::unsupported_bundle_format: return "unsupported_bundle_format";
    case ErrorKind::unsupported_protocol_version: return "unsupported_protocol_version";
    case ErrorKind::projection_profile_mismatch: return "projection_profile_mismatch";
    case ErrorKind::unsupported_permission_profile: return "unsupported_permission_profile";
    case ErrorKind::unsupported_platform: return "unsupported_platform";
    case ErrorKind::unsupported_architecture: return "unsupported_architecture";
    case ErrorKind::recovery_required: return "recovery_required";
    case ErrorKind::stale: return "stale";
    case ErrorKind::invalid_target: return "invalid_target";
    case ErrorKind::lock_unavailable: return "lock_unavailable";
    case ErrorKind::state_unavailable: return "state_unavailable";
    case ErrorKind::integrity_mismatch: return "integrity_mismatch";
  }
  std::abort();
}

std::string_view reason_name(ReasonCode code) {
  switch (code) {
    case ReasonCode::adaptation_binding_missing: return "adaptation_binding_missing";
    case ReasonCode::adaptation_binding_mismatch: return "adaptation_binding_mismatch";
    case ReasonCode::digest_mismatch: return "digest_mismatch";
    case ReasonCode::limit_exceeded: return "limit_exceeded";
    case ReasonCode::link_not_allowed: return "link_not_allowed";
    case ReasonCode::path_duplicate: return "path_duplicate";
    case ReasonCode::path_escapes_target: return "path_escapes_target";
    case ReasonCode::path_not_relative: return "path_not_relative";
    case ReasonCode::special_file_not_allowed: return "special_file_not_allowed";
    case ReasonCode::unsupported_bundle_format: return "unsupported_bundle_format";
    case ReasonCode::unsupported_component_kind: return "unsupported_component_kind";
    case ReasonCode::unsupported_native_surface: return "unsupported_native_surface";
    case ReasonCode::unsupported_protocol_version: return "unsupported_protocol_version";
    case ReasonCode::unsupported_operation: return "unsupported_operation";
    case ReasonCode::projection_profile_mismatch: return "projection_profile_mismatch";
    case ReasonCode::unsupported_permission_profile: return "unsupported_permission_profile";
    case ReasonCode::unsupported_platform: return "unsupported_platform";
    case ReasonCode::unsupported_architecture: return "unsupported_architecture";
    case ReasonCode::recovery_required: return "recovery_required";
    case ReasonCode::stale: return "stale";
    case ReasonCode::provider_unavailable: return "provider_unavailable";
  }
  std::abort();
}

std::string Error::full() const {
  if (cause.empty()) return message;
  return message + ": " + cause;
}

Error make_error(ErrorKind kind, std::string message) {
  return Error{kind, reason_for(kind), std::move(message), {}, 0};
}

Error refusal(ReasonCode code, std::string detail) {
  return Error{std::nullopt, code, std::move(detail), {}, 0};
}

std::string errno_text(int err) {
  char buffer[256];
  // The GNU variant returns the text (possibly a static string).
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return text;
}

Error system_error(ErrorKind kind, std::string message, int err) {
  return Error{kind, reason_for(kind), std::move(message), errno_text(err), err};
}

Error caused_by(ErrorKind kind, std::string message, const Error& cause) {
  return Error{kind, reason_for(kind), std::move(message), cause.full(), cause.sys_errno};
}

Error with_cause(ErrorKind kind, std::string message, std::string cause) {
  return Error{kind, reason_for(kind), std::move(message), std::move(cause), 0};
}

ReasonCode reason_for(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::unsupported_operation: return ReasonCode::unsupported_operation;
    case ErrorKind::unsupported_component_kind: return ReasonCode::unsupported_component_kind;
    case ErrorKind::unsupported_native_surface: return ReasonCode::unsupported_native_surface;
    case ErrorKind::unsupported_bundle_format: return ReasonCode::unsupported_bundle_format;
    case ErrorKind::unsupported_protocol_version: return ReasonCode::unsupported_protocol_version;
    case ErrorKind::projection_profile_mismatch: return ReasonCode::projection_profile_mismatch;
    case ErrorKind::unsupported_permission_profile: return ReasonCode::unsupported_permission_profile;
    case ErrorKind::unsupported_platform: return ReasonCode::unsupported_platform;
    case ErrorKind::unsupported_architecture: return ReasonCode::unsupported_architecture;
    case ErrorKind::recovery_required: return ReasonCode::recovery_required;
    case ErrorKind::stale: return ReasonCode::stale;
    case ErrorKind::invalid_target:
    case ErrorKind::lock_unavailable:
    case ErrorKind::state_unavailable: return ReasonCode::provider_unavailable;
    case ErrorKind::integrity_mismatch: return ReasonCode::digest_mismatch;
  }
  std::abort();
}

}  // namespace velk
