#include "software/launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <iostream>

#include "core/digest.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/text.h"
#include "core/json.h"
#include "product/declaration.h"
#include "software/program_dir.h"
#include "software/release_table.h"

extern char** environ;

namespace velk {

namespace {

constexpr std::string_view kNulByte = "nul byte found in provided data";

// The largest installation record this build reads: four short members.
constexpr uint64_t kRecordCap = 64 * 1024;

Error launch_refusal(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

std::string reason_of(const Error& error) {
  return error.has_cause() ? error.cause : error.message;
}

// The command must be there, and what it resolves to must be a program this
// host can run. Absence is judged without following the link, so a link
// whose program is gone counts as not installed. The link is resolved
// beneath the prefix, never by its text: one that leads outside the prefix
// runs nothing this provider placed.
Status check_command(const Dir& prefix) {
  const std::string& root = prefix.path();
  const std::string command = command_path(root);
  const std::string word(declaration().executable_name);
  const auto not_installed = [&](const std::string& reason) {
    return launch_refusal(command + " is not installed under " + root + ": " + reason +
                          "; run software_install first");
  };
  auto bin = prefix.open("bin");
  if (!bin.ok()) return not_installed(errno_text(bin.error()));
  struct stat st;
  if (::fstatat(bin->fd(), word.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return not_installed(errno_text(errno));
  if (S_ISLNK(st.st_mode)) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlinkat(bin->fd(), word.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return not_installed(errno_text(errno));
    const std::string target(buffer, static_cast<size_t>(n));
    const std::string inside = root == "/" ? "/" : root + "/";
    if (!starts_with(target, inside))
      return not_installed("it links to " + target + ", which is not inside " + root);
    Fd resolved(open_beneath(prefix.fd(), target.substr(inside.size()), O_RDONLY | O_NONBLOCK));
    if (resolved.get() < 0 || ::fstat(resolved.get(), &st) != 0)
      return not_installed("it links to " + target + ": " + errno_text(errno));
  }
  if (!S_ISREG(st.st_mode)) return launch_refusal(command + " is not a regular file");
  if ((st.st_mode & 0111) == 0) return launch_refusal(command + " exists but this host cannot execute it");
  return {};
}

FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// Opens the program at `executable` (relative to the prefix) without
// following a link anywhere below the prefix. -1 with errno on failure.
int open_program(const Dir& prefix, const std::string& executable) {
  return open_beneath(prefix.fd(), executable, O_RDONLY | O_NONBLOCK);
}

// A record's program must be a plain path inside the tree of its version:
// "{version}/..." with no empty, "." or ".." segment.
bool inside_version_tree(std::string_view executable, std::string_view version) {
  if (executable.size() <= version.size() + 1 || !executable.starts_with(version) ||
      executable[version.size()] != '/')
    return false;
  for (const std::string& segment : split_path(executable))
    if (segment.empty() || segment == "." || segment == "..") return false;
  return true;
}

struct VerifiedProgram {
  std::string path;        // full path, as it is executed
  std::string executable;  // relative to the prefix, as recorded
  FileIdentity identity;
};

// The executable the installation record names, verified against its
// recorded digest. The record is data in the prefix: the version it names
// must be one this build pins, and the program must lie inside that
// version's tree, reached without following a link below the prefix.
Result<VerifiedProgram> verified_executable(const Dir& prefix_dir) {
  const std::string& prefix = prefix_dir.path();
  const std::string record = record_path(prefix);
  auto text = prefix_dir.read("bin/." + std::string(declaration().executable_name) + ".manifest.json",
                              record + " cannot be read", kRecordCap);
  if (!text.ok()) return launch_refusal(record + " cannot be read: " + reason_of(text.error()));
  VELK_ASSIGN(const InstallationRecord read, parse_installation_record(record, *text));

  const auto& table = release_table();
  if (std::none_of(table.begin(), table.end(),
                   [&](const Release& r) { return r.version == read.version; }))
    return launch_refusal(record + " names version " + quoted_form(read.version) +
                   ", which this build does not pin (it pins " + pinned_versions_text() +
                   "). Nothing has been started.");
  if (has_nul(read.executable) || !inside_version_tree(read.executable, read.version))
    return launch_refusal(record + " names " + quoted_form(read.executable) + ", which does not lie inside " +
                   path_join(prefix, read.version) + ". Nothing has been started.");

  const std::string program = path_join(prefix, read.executable);
  const auto unreadable = [&](const std::string& reason) {
    return launch_refusal(record + " names " + program + " and it could not be read: " + reason);
  };
  Fd fd(open_program(prefix_dir, read.executable));
  if (fd.get() < 0) return unreadable(errno_text(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return unreadable(errno_text(errno));
  if (!S_ISREG(st.st_mode)) return unreadable("not a regular file");
  auto found = digest_fd(fd.get(), program);
  if (!found.ok()) return unreadable(reason_of(found.error()));
  if (*found != read.executable_sha256)
    return launch_refusal(program + " is not the " + std::string(declaration().executable_name) +
                   " this provider installed: recorded " + read.executable_sha256 + ", found " + *found +
                   ". Nothing has been started. Re-run software_install to put the pinned bytes "
                   "back, or software_remove to take the prefix off.");
  // Looked at again after hashing: bytes changed while they were read show.
  if (::fstat(fd.get(), &st) != 0) return unreadable(errno_text(errno));
  return VerifiedProgram{program, read.executable, identity_of(st)};
}

std::string variable_name(std::string_view entry) {
  return std::string(entry.substr(0, entry.find('=')));
}

}  // namespace

Result<InstallationRecord> parse_installation_record(const std::string& record,
                                                     std::string_view text) {
  auto parsed = parse_json(text);
  if (!parsed.ok())
    return launch_refusal(record + " is not an installation record: " + parsed.error());
  auto object = as_object(*parsed);
  if (!object.ok())
    return launch_refusal(record + " is not an installation record: " + object.error());
  InstallationRecord read;
  for (auto [field, name] : {std::pair{&InstallationRecord::executable, "executable"},
                             std::pair{&InstallationRecord::executable_sha256, "executable_sha256"},
                             std::pair{&InstallationRecord::version, "version"}}) {
    auto value = field_string(*parsed, name);
    if (!value.ok())
      return launch_refusal(record + " is not an installation record: " + value.error());
    read.*field = std::move(*value);
  }
  return read;
}

Result<LaunchCommand> prepare_launch(std::string_view prefix_text, std::string_view target,
                                     const std::vector<std::string>& args) {
  VELK_TRY(host_build(current_release()));
  const std::string prefix = prefix_path(prefix_text);
  VELK_ASSIGN(const Dir prefix_dir, open_existing_prefix(prefix));
  if (!prefix_dir.valid())
    return launch_refusal(command_path(prefix) + " is not installed under " + prefix + ": " +
                          errno_text(ENOENT) + "; run software_install first");
  VELK_TRY(check_command(prefix_dir));
  LaunchCommand command;
  VELK_ASSIGN(const VerifiedProgram verified, verified_executable(prefix_dir));
  command.program = verified.path;
  command.prefix = prefix_dir;
  command.executable = verified.executable;
  command.verified = verified.identity;

  if (has_nul(target)) return launch_refusal(std::string(kNulByte));
  command.argv.push_back(command.program);
  for (const std::string& arg : args) {
    if (has_nul(arg)) return launch_refusal(std::string(kNulByte));
    command.argv.push_back(arg);
  }

  const ProductDeclaration& product = declaration();
  const std::string home(product.home_variable);
  const std::string updater(product.autoupdater_variable);
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string name = variable_name(*entry);
    if (name == home || name == updater) continue;
    command.environ.emplace_back(*entry);
  }
  command.environ.push_back(home + "=" + std::string(target));
  command.environ.push_back(updater + "=1");
  return command;
}

Error exec_launch(const LaunchCommand& command) {
  std::vector<char*> argv;
  for (const std::string& arg : command.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : command.environ) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  // Whatever this process buffered must not be lost with its image.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  // The path is walked again right before the exec: what runs must be the
  // file whose digest was checked, not one put in its place since.
  {
    Fd fd(open_program(command.prefix, command.executable));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !(identity_of(st) == command.verified))
      return launch_refusal(command.program +
                     " changed after its digest was checked. Nothing has been started.");
  }
  ::execve(command.program.c_str(), argv.data(), envp.data());
  return launch_refusal(command.program + " could not be started: " + errno_text(errno));
}

Error launch_installed(std::string_view prefix, std::string_view target,
                       const std::vector<std::string>& args) {
  auto command = prepare_launch(prefix, target, args);
  if (!command.ok()) return std::move(command).error();
  return exec_launch(*command);
}

}  // namespace velk
