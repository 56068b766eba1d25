// What every fuzz target shares. Checks abort with a message, so that
// libFuzzer reports the input that broke a property. Each target is one
// translation unit, so the program's names are brought in here once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "cli/argument_error.h"
#include "core/error.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

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

inline std::string error_text(const Error& e) { return e.full(); }
inline std::string error_text(const std::string& e) { return e; }
inline std::string error_text(const ArgumentError& e) { return e.message; }

// The value of a result that must hold one; otherwise fails with the error
// and `context`.
template <class T, class E>
T must(Result<T, E> result, std::string_view context = "") {
  if (!result.ok()) fail("must", error_text(result.error()) + "\n" + std::string(context));
  if constexpr (!std::is_void_v<T>) return std::move(result).value();
}

// Every refusal has a message. An Error carries a documented reason code and,
// when it has a runtime kind, the code that kind is answered with; an
// argument error names no code or a documented one. The code is one of
// `allowed` when any are given; the Error has exactly the runtime kind given.
void check_error(const Error& error, const std::vector<ReasonCode>& allowed);
void check_error(const Error& error, ErrorKind kind);
void check_error(const ArgumentError& error, const std::vector<ReasonCode>& allowed);
void check_error(const std::string& message, const std::vector<ReasonCode>& allowed);

// Whether the result is a refusal, checked as check_error does.
template <class T, class E, class Expected = std::vector<ReasonCode>>
bool refused(const Result<T, E>& result, const Expected& expected = {}) {
  if (result.ok()) return false;
  check_error(result.error(), expected);
  return true;
}

// A record that reads, written back with `encode`, must read back with
// `parse` as `expected` and be written again to the same bytes.
template <class Record, class Parse, class Encode>
void check_rewrite(const Record& record, const Record& expected, Parse parse, Encode encode) {
  const std::string bytes = encode(record);
  const Record again = must(parse(bytes), bytes);
  VELK_FUZZ_CHECK(again == expected, bytes);
  VELK_FUZZ_CHECK(encode(again) == bytes, bytes);
}

// A directory of this process's own, made on first use under $TMPDIR (or
// /tmp) and removed, with everything in it, when the process exits.
const std::string& scratch_dir();
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

using namespace velk;
using namespace velk::fuzz;
