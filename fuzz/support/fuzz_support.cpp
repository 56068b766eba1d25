#include "support/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/fs.h"

namespace velk::fuzz {

void fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "fuzz check failed: %.*s: %.*s\n", static_cast<int>(what.size()),
               what.data(), static_cast<int>(detail.size()), detail.data());
  std::fflush(stderr);
  std::abort();
}

namespace {

std::string describe(const Error& error) {
  std::string text = "code ";
  const int code = static_cast<int>(error.code);
  text += (code >= 0 && code < kReasonCodeCount) ? std::string(reason_name(error.code))
                                                 : std::to_string(code);
  if (error.kind) text += ", kind " + std::string(kind_name(*error.kind));
  return text + ": " + error.full();
}

void check_code(ReasonCode code, const std::vector<ReasonCode>& allowed, std::string_view detail) {
  VELK_FUZZ_CHECK(static_cast<int>(code) >= 0 && static_cast<int>(code) < kReasonCodeCount, detail);
  VELK_FUZZ_CHECK(allowed.empty() || std::ranges::find(allowed, code) != allowed.end(), detail);
}

std::string* scratch = nullptr;

void remove_scratch() {
  if (scratch) (void)remove_path(*scratch);
}

}  // namespace

void check_error(const Error& error, const std::vector<ReasonCode>& allowed) {
  const std::string detail = describe(error);
  check_code(error.code, allowed, detail);
  VELK_FUZZ_CHECK(!error.message.empty(), detail);
  if (error.kind) VELK_FUZZ_CHECK(error.code == reason_for(*error.kind), detail);
}

void check_error(const Error& error, ErrorKind kind) {
  check_error(error, std::vector<ReasonCode>{});
  VELK_FUZZ_CHECK(error.kind == kind, describe(error));
}

void check_error(const ArgumentError& error, const std::vector<ReasonCode>& allowed) {
  VELK_FUZZ_CHECK(!error.message.empty(), "an argument error without a message");
  if (error.code) check_code(*error.code, allowed, error.message);
}

void check_error(const std::string& message, const std::vector<ReasonCode>&) {
  VELK_FUZZ_CHECK(!message.empty(), "a refusal without a message");
}

const std::string& scratch_dir() {
  if (!scratch) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velk-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) fail("mkdtemp", pattern);
    scratch = new std::string(pattern);
    std::atexit(remove_scratch);
  }
  return *scratch;
}

const std::string& input_file(std::string_view bytes) {
  static const std::string path = scratch_dir() + "/input";
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.get() < 0) fail("open", path);
  if (write_all(fd.get(), bytes) != 0) fail("write", path);
  if (fd.close() != 0) fail("close", path);
  return path;
}

std::string fresh_dir() {
  static uint64_t counter = 0;
  const std::string path = scratch_dir() + "/d" + std::to_string(counter++);
  if (::mkdir(path.c_str(), 0700) != 0) fail("mkdir", path);
  return path;
}

std::vector<std::string> entries_of(const std::string& dir) {
  auto names = list_directory(dir);
  if (!names.ok()) fail("list_directory", names.error().full());
  std::vector<std::string> sorted = std::move(names).value();
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

std::vector<std::string> split_arguments(std::string_view bytes) {
  std::vector<std::string> out;
  if (bytes.empty()) return out;
  size_t start = 0;
  for (size_t nul; (nul = bytes.find('\0', start)) != std::string_view::npos; start = nul + 1)
    out.emplace_back(bytes.substr(start, nul - start));
  out.emplace_back(bytes.substr(start));
  return out;
}

}  // namespace velk::fuzz
