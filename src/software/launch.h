// Starting the installed product against a target: the command and the
// installation record are checked, the recorded executable's digest is
// compared, and the process image is replaced by that executable (no search
// path, no child) with VELK_HOME set to the target and the product's
// auto-updater switched off.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/dir.h"
#include "core/error.h"

namespace velk {

// What a file was: device, inode, size and times. A file replaced, or
// written in place, since it was looked at compares unequal.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  struct timespec ctime {};
  bool operator==(const FileIdentity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// The members of an installation record that launch acts on (it may hold
// them in any order).
struct InstallationRecord {
  std::string version;
  std::string executable;  // relative to the prefix, as recorded
  std::string executable_sha256;
  bool operator==(const InstallationRecord&) const = default;
};

// Reads a record's text: "{record} is not an installation record: {why}"
// (state_unavailable).
Result<InstallationRecord> parse_installation_record(const std::string& record,
                                                     std::string_view text);

struct LaunchCommand {
  std::string program;               // the verified executable, a full path
  std::vector<std::string> argv;     // program, then the pass-through arguments
  std::vector<std::string> environ;  // "NAME=value" entries
  // Where the program was verified: the prefix, its path below the prefix
  // and what the file was (device, inode, size, times) when its digest was
  // checked. exec_launch walks the path again and compares.
  Dir prefix;
  std::string executable;
  FileIdentity verified;
};

// Every check that comes before the exec. The release lookup's failure keeps
// its kind (unsupported_platform, unsupported_architecture); the command and
// record checks are state_unavailable:
// "{command} is not installed under {prefix}: {reason}; run software_install
// first", "{command} is not a regular file", "{command} exists but this host
// cannot execute it", "{record} cannot be read: {reason}", "{record} is not
// an installation record: {reason}", "{record} names {executable} and it
// could not be read: {reason}", the digest refusal, and "nul byte found in
// provided data". The command P/bin/velk is looked at without following it
// for absence (a dangling link is not installed); the file it resolves to
// must be a regular file with an execute bit.
Result<LaunchCommand> prepare_launch(std::string_view prefix, std::string_view target,
                                     const std::vector<std::string>& args);

// Replaces the process with the command; returns only on failure:
// "{program} could not be started: {reason}" (state_unavailable).
Error exec_launch(const LaunchCommand& command);

// prepare_launch, then exec_launch. Returns only on failure.
Error launch_installed(std::string_view prefix, std::string_view target,
                       const std::vector<std::string>& args);

}  // namespace velk
