// The destination side of extraction: every archive entry passes through
// here. Names are checked against the archive entry rules and normalised,
// entries and bytes are counted against the limits, and directories and
// files are made with *at() calls relative to the destination that never
// follow a link, so no entry can reach outside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/dir.h"
#include "core/error.h"
#include "software/artifact.h"

namespace velk {

// The longest entry path, and the most segments one may have, that an
// extraction admits.
inline constexpr size_t kMaxEntryPathBytes = 4096;
inline constexpr size_t kMaxEntryPathSegments = 256;

// Extraction failures carry their message and, for a failed system call, the
// system error as the cause.
Error extract_error(std::string message);
Error extract_system_error(std::string message, int err);

// An entry name that passed the rules: its segments with empty and "."
// segments dropped ("./bin/x" and "bin//x" are both {"bin", "x"}).
struct EntryPath {
  std::string name;  // as the archive states it
  std::vector<std::string> segments;
};

// A file being written; closed when the value goes.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(int fd, std::string_view write_message) : fd_(fd), write_message_(write_message) {}
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  Status write(const void* data, size_t size);
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string_view write_message_;
  uint64_t written_ = 0;
  uint64_t synced_ = 0;
};

class ExtractTarget {
 public:
  // Works in the destination directory held by `destination`; what it makes
  // there takes the directory's owner.
  static Result<ExtractTarget> open(const Dir& destination, ExtractionLimits limits);
  ExtractTarget(ExtractTarget&& other) noexcept;
  ExtractTarget& operator=(ExtractTarget&&) = delete;
  ExtractTarget(const ExtractTarget&) = delete;
  ExtractTarget& operator=(const ExtractTarget&) = delete;
  ~ExtractTarget();

  // Checks the name against the archive entry rules and the destination,
  // then counts the entry against the entry limit.
  Result<EntryPath> admit(std::string_view name);
  // Creates the directory with its parents.
  Status make_directory(const EntryPath& path);
  // Counts `size` against the byte limit, creates the parents and then the
  // file itself, which must not exist yet. `write_message` names a failed
  // write of its data.
  Result<OutputFile> create_file(const EntryPath& path, uint64_t size,
                                 std::string_view write_message);
  // Flushes the file and gives it the archive's permission bits (set-id and
  // sticky bits are dropped); counts it as placed.
  Status finish_file(OutputFile& file, uint32_t mode);

  uint64_t files_placed() const { return files_placed_; }

 private:
  ExtractTarget(int fd, std::string destination, std::optional<Owner> owner,
                ExtractionLimits limits)
      : fd_(fd), destination_(std::move(destination)), owner_(owner), limits_(limits) {}
  // Opens the first `count` segments as directories below the destination,
  // creating missing ones; returns the innermost directory's descriptor.
  Result<int> open_directories(const std::vector<std::string>& segments, size_t count,
                               const char* create_message);
  std::string joined(const std::vector<std::string>& segments, size_t count) const;

  int fd_ = -1;
  std::string destination_;
  std::optional<Owner> owner_;
  ExtractionLimits limits_;
  uint64_t entries_ = 0;
  uint64_t bytes_ = 0;
  uint64_t files_placed_ = 0;
};

// Reads up to `size` bytes, retrying short reads until the size is reached
// or the file ends; returns the count read. Fails with errno.
Result<size_t, int> read_up_to(int fd, void* data, size_t size);

}  // namespace velk
