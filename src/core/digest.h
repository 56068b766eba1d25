// SHA-256 digests of bytes, files, tagged documents, tree records and
// directory trees. A digest text is "sha256:" and 64 lower-case hex digits.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json_fwd.h"

namespace velk {

inline constexpr std::string_view kPlanTag = "ai-stp:provider-plan:v3";
inline constexpr std::string_view kProjectionTag = "ai-stp:provider-projection:v3";
inline constexpr std::string_view kBundleTag = "ai-stp:bundle:v1";

// True for "sha256:" followed by exactly 64 lower-case hex digits.
bool is_digest_text(std::string_view text);

// Incremental SHA-256 (libcrypto).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  // The digest text; the object must not be used afterwards.
  std::string finish();

 private:
  void* ctx_;
};

std::string digest_bytes(std::string_view bytes);

// Streams the file through one 65536-byte buffer. Errors (state_unavailable,
// cause attached): "cannot open {path}", "cannot read {path}". Anything but
// a regular file (a FIFO, a socket, a device) is refused with "cannot open
// {path}" without blocking.
Result<std::string> digest_file(const std::string& path);

// The digest of an open regular file's bytes, read from offset 0 (the
// descriptor's own offset is left alone). "cannot read {path}".
Result<std::string> digest_fd(int fd, const std::string& path);

// SHA-256 over the tag, one zero byte and the canonical JSON of the value.
Result<std::string> digest_document(std::string_view tag, const Json& value);

struct TreeRecord {
  std::string path;    // relative to the walked root, "/"-joined, lossy UTF-8
  std::string kind;    // "dir", "link", "file:x" or "file:-"
  std::string detail;  // "", the link target, or the file digest
  bool operator==(const TreeRecord&) const = default;
};

// Sorts by path as plain bytes.
void sort_records(std::vector<TreeRecord>& records);
// SHA-256 over path, NUL, kind, NUL, detail, NUL of each record in order.
std::string digest_records(const std::vector<TreeRecord>& records);

// lstat with the transient-failure retry: up to 8 attempts, a processor
// yield before the second and 1 ms pauses before the others. Absence at any
// attempt gives nullopt; after the eighth failure "cannot stat {path}".
Result<std::optional<struct stat>> lstat_retrying(const std::string& path);

// The record of one entry at `path` (relative path computed against `root`),
// or nullopt when the entry vanished. Links are read, never followed; files
// are digested with the file retry.
Result<std::optional<TreeRecord>> entry_record(const std::string& root, const std::string& path);

// Appends the records of every entry below `dir` (depth first, listing
// order), paths relative to `root`. When `dir` is `root`, entries whose path
// equals an exclusion are skipped.
Status walk_tree(const std::string& root, const std::string& dir,
                 const std::vector<std::string>& exclusions, std::vector<TreeRecord>& records);

// The tree digest of a whole directory: "{path} is not a directory"
// (invalid_target) unless the path (links followed) is a directory.
Result<std::string> digest_tree(const std::string& dir);

}  // namespace velk
