// What every fuzz target shares: checks that abort with a message (so that
// libFuzzer reports the input that broke a property), the checks of a
// refusal's reason code, the per-process scratch directory that targets
// writing files use, and the splitting of an input into arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk::fuzz {

// Prints "fuzz check failed: {what}: {detail}" and aborts.
[[noreturn]] void fail(std::string_view what, std::string_view detail);

#define VELK_FUZZ_CHECK(condition, detail)                                  \
  do {                                                                      \
    if (!(condition)) ::velk::fuzz::fail(#condition, (detail));             \
  } while (0)

inline std::string_view as_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Every refusal carries one of the documented reason codes, a message, and,
// when it has a runtime kind, the code that kind is answered with.
void check_error(const Error& error);
// The same, and the code is one of `allowed`.
void check_error(const Error& error, const std::vector<ReasonCode>& allowed);
// The same, and the error has exactly this runtime kind (so its code is the
// kind's).
void check_error_kind(const Error& error, ErrorKind kind);

// The codes a bundle reader may refuse with: those of the container, the
// path rules and bundle validation.
const std::vector<ReasonCode>& bundle_reason_codes();

// A directory of this process's own, made on first use under $TMPDIR (or
// /tmp) and removed, with everything in it, when the process exits.
const std::string& scratch_dir();
// Writes the bytes to the file (created, or truncated), aborting on failure.
void write_bytes(const std::string& path, std::string_view bytes);
// The process's one input file in the scratch directory, holding `bytes`.
const std::string& input_file(std::string_view bytes);
// A new empty directory under the scratch directory (the caller removes it).
std::string fresh_dir();
// The entry names of a directory, sorted.
std::vector<std::string> entries_of(const std::string& dir);

// The input split at NUL bytes: "a\0b" is {"a", "b"}, "a\0" is {"a", ""}, and
// the empty input is no argument at all.
std::vector<std::string> split_arguments(std::string_view bytes);

}  // namespace velk::fuzz
