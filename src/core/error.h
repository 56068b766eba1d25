// Errors are values: a Result<T> holds either the value or an Error. Every
// error carries the reason code the provider protocol answers with, set
// where it is made; runtime errors of the foundations and the store also
// carry their kind, the message and, when a system call or a parser
// triggered them, a cause. The two boundaries (provider dispatch and the
// user commands) are the only places an error becomes what is printed.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace velk {

enum class ErrorKind {
  unsupported_operation,
  unsupported_component_kind,
  unsupported_native_surface,
  unsupported_bundle_format,
  unsupported_protocol_version,
  projection_profile_mismatch,
  unsupported_permission_profile,
  unsupported_platform,
  unsupported_architecture,
  recovery_required,
  stale,
  invalid_target,
  lock_unavailable,
  state_unavailable,
  integrity_mismatch,
};

std::string_view kind_name(ErrorKind kind);

enum class ReasonCode {
  adaptation_binding_missing,
  adaptation_binding_mismatch,
  digest_mismatch,
  limit_exceeded,
  link_not_allowed,
  path_duplicate,
  path_escapes_target,
  path_not_relative,
  special_file_not_allowed,
  unsupported_bundle_format,
  unsupported_component_kind,
  unsupported_native_surface,
  unsupported_protocol_version,
  unsupported_operation,
  projection_profile_mismatch,
  unsupported_permission_profile,
  unsupported_platform,
  unsupported_architecture,
  recovery_required,
  stale,
  provider_unavailable,
};

inline constexpr int kReasonCodeCount = 21;

std::string_view reason_name(ReasonCode code);

struct Error {
  // The runtime kind of an error of the foundations and the store; a
  // refusal made with its reason code directly has none.
  std::optional<ErrorKind> kind;
  // What the provider protocol answers: set where the error is made, from
  // the kind or directly, and never mapped back.
  ReasonCode code{};
  std::string message;
  // The text of what triggered the error (a system error, a parser's
  // message); empty when there is none.
  std::string cause;
  // The errno value when the cause is a system error, otherwise 0.
  int sys_errno = 0;

  bool has_cause() const { return !cause.empty(); }
  // The message followed by ": " and the cause, when there is one.
  std::string full() const;
};

Error make_error(ErrorKind kind, std::string message);
// An error caused by a failed system call: the cause is strerror(err).
Error system_error(ErrorKind kind, std::string message, int err);
// An error caused by another error (its full text becomes the cause).
Error caused_by(ErrorKind kind, std::string message, const Error& cause);
Error with_cause(ErrorKind kind, std::string message, std::string cause);

// The human text of an errno value, as the C library words it.
std::string errno_text(int err);

// The code a runtime kind is answered with: the code of the same name,
// except that the three store kinds become provider_unavailable and
// integrity_mismatch becomes digest_mismatch. Applied when an error is made.
ReasonCode reason_for(ErrorKind kind);

// A refusal of the provider protocol, made with its code and detail (the
// message); it has no runtime kind.
Error refusal(ReasonCode code, std::string detail);

// Result<T>: a value or an error. Accessing the wrong side aborts.
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  // The implicit constructors pick the side by type; when T and E are the
  // same type both are disabled and the side is named with a tag.
  // (Templates with distinct parameter lists, so that the two never
  // redeclare each other when T and E coincide.)
  template <class U = T, std::enable_if_t<!std::is_same_v<U, E>, int> = 0>
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class U = E, std::enable_if_t<!std::is_same_v<U, T>, long> = 0>
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
  Result(std::in_place_index_t<0>, T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(std::in_place_index_t<1>, E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { check(true); return std::get<0>(v_); }
  const T& value() const& { check(true); return std::get<0>(v_); }
  T&& value() && { check(true); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { check(false); return std::get<1>(v_); }
  const E& error() const& { check(false); return std::get<1>(v_); }
  E&& error() && { check(false); return std::get<1>(std::move(v_)); }

 private:
  void check(bool want_value) const {
    if (ok() != want_value) std::abort();
  }
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }

  E& error() & { check(); return error_; }
  const E& error() const& { check(); return error_; }
  E&& error() && { check(); return std::move(error_); }

 private:
  void check() const {
    if (!failed_) std::abort();
  }
  E error_{};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace velk

// Early return of an error from a Result-valued expression. The error is
// moved into the enclosing function's return value.
#define VELK_TRY(expr)                                   \
  do {                                                   \
    auto velk_try_result_ = (expr);                      \
    if (!velk_try_result_.ok())                          \
      return std::move(velk_try_result_).error();        \
  } while (0)

#define VELK_CONCAT_INNER(a, b) a##b
#define VELK_CONCAT(a, b) VELK_CONCAT_INNER(a, b)

// Declares `lhs` from the value of a Result-valued expression, or returns its
// error: VELK_ASSIGN(auto text, read_file(path));
#define VELK_ASSIGN(lhs, expr) VELK_ASSIGN_IMPL(VELK_CONCAT(velk_assign_, __LINE__), lhs, expr)
#define VELK_ASSIGN_IMPL(tmp, lhs, expr)       \
  auto tmp = (expr);                           \
  if (!tmp.ok()) return std::move(tmp).error(); \
  lhs = std::move(tmp).value()
