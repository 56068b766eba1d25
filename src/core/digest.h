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

// The record of the entry `name` of the directory `dir_fd`, whose record
// path is `relative` and whose path in messages is `display`; nullopt when
// the entry vanished. Links are read, never followed; files are opened
// without following a link or waiting on a FIFO and digested; a FIFO,
// socket or device is refused ("cannot open {path}": not a regular file).
// A transient failure to look at an entry that still exists is retried up
// to 8 times, with a processor yield before the second attempt and 1 ms
// pauses before the others: "cannot stat {path}", "cannot read link
// {path}", "cannot open {path}", "cannot read {path}".
// With `flush`, a file's data is also flushed to stable storage (fdatasync)
// once it is digested: "cannot flush {path}".
Result<std::optional<TreeRecord>> entry_record_at(int dir_fd, const std::string& name,
                                                  const std::string& relative,
                                                  const std::string& display, bool flush = false);

// Appends the records of every entry below the directory `dir_fd` (depth
// first, listing order), their paths `prefix` joined with the names below
// (no prefix: the names themselves). Entries of this directory named in
// `skip` are left out; nothing below them is looked at. Directories are
// opened with O_NOFOLLOW, so one swapped for a link is never followed.
// "cannot list {dir}", "cannot read an entry of {dir}", and the entry
// errors above.
// With `flush`, every file is flushed as entry_record_at flushes it and every
// directory once what is in it is walked, `dir_fd` last: a walk that
// measures what a change wrote also makes it durable.
Status walk_tree_at(int dir_fd, const std::string& display, const std::string& prefix,
                    std::vector<TreeRecord>& records, const std::vector<std::string>& skip = {},
                    bool flush = false);

// The tree digest of a whole directory: "{path} is not a directory"
// (invalid_target) unless the path (links followed) is a directory.
Result<std::string> digest_tree(const std::string& dir);

}  // namespace velk
