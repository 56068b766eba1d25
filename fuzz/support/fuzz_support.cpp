#include "support/fuzz_support.h"

#include <dirent.h>
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

}  // namespace

void check_error(const Error& error) {
  const int code = static_cast<int>(error.code);
  VELK_FUZZ_CHECK(code >= 0 && code < kReasonCodeCount, describe(error));
  VELK_FUZZ_CHECK(!error.message.empty(), describe(error));
  if (error.kind) VELK_FUZZ_CHECK(error.code == reason_for(*error.kind), describe(error));
}

void check_error(const Error& error, const std::vector<ReasonCode>& allowed) {
  check_error(error);
  VELK_FUZZ_CHECK(std::find(allowed.begin(), allowed.end(), error.code) != allowed.end(),
                  describe(error));
}

void check_error_kind(const Error& error, ErrorKind kind) {
  check_error(error);
  VELK_FUZZ_CHECK(error.kind == kind, describe(error));
}

const std::vector<ReasonCode>& bundle_reason_codes() {
  static const std::vector<ReasonCode> codes = {
      ReasonCode::adaptation_binding_missing,  ReasonCode::adaptation_binding_mismatch,
      ReasonCode::digest_mismatch,             ReasonCode::limit_exceeded,
      ReasonCode::link_not_allowed,            ReasonCode::path_duplicate,
      ReasonCode::path_escapes_target,         ReasonCode::path_not_relative,
      ReasonCode::special_file_not_allowed,    ReasonCode::unsupported_bundle_format,
      ReasonCode::unsupported_component_kind,  ReasonCode::unsupported_native_surface,
      ReasonCode::unsupported_protocol_version, ReasonCode::projection_profile_mismatch,
  };
  return codes;
}

namespace {

std::string* scratch = nullptr;

void remove_scratch() {
  if (scratch) (void)remove_path(*scratch);
}

}  // namespace

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

void write_bytes(const std::string& path, std::string_view bytes) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.get() < 0) fail("open", path);
  if (write_all(fd.get(), bytes) != 0) fail("write", path);
  if (fd.close() != 0) fail("close", path);
}

const std::string& input_file(std::string_view bytes) {
  static const std::string path = scratch_dir() + "/input";
  write_bytes(path, bytes);
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
  for (;;) {
    const size_t nul = bytes.find('\0', start);
    if (nul == std::string_view::npos) {
      out.emplace_back(bytes.substr(start));
      return out;
    }
    out.emplace_back(bytes.substr(start, nul - start));
    start = nul + 1;
  }
}

}  // namespace velk::fuzz
