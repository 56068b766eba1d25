#include "software/launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <iostream>

#include "core/digest.h"
#include "core/fs.h"
#include "core/json.h"
#include "product/declaration.h"
#include "software/program_dir.h"
#include "software/release_table.h"

extern char** environ;

namespace velk {

namespace {

constexpr std::string_view kNulByte = "nul byte found in provided data";

Error refusal(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

std::string reason_of(const Error& error) {
  return error.has_cause() ? error.cause : error.message;
}

// The command must be there, and what it resolves to must be a program this
// host can run. Absence is judged without following the link, so a link
// whose program is gone counts as not installed.
Status check_command(const std::string& prefix) {
  const std::string command = command_path(prefix);
  const auto not_installed = [&](const std::string& reason) {
    return refusal(command + " is not installed under " + prefix + ": " + reason +
                   "; run software_install first");
  };
  struct stat st;
  if (::lstat(command.c_str(), &st) != 0) return not_installed(errno_text(errno));
  if (S_ISLNK(st.st_mode)) {
    if (::stat(command.c_str(), &st) != 0) {
      const int err = errno;
      char target[PATH_MAX];
      const ssize_t n = ::readlink(command.c_str(), target, sizeof target - 1);
      if (n < 0) return not_installed(errno_text(err));
      return not_installed("it links to " + std::string(target, static_cast<size_t>(n)) + ": " +
                           errno_text(err));
    }
  }
  if (!S_ISREG(st.st_mode)) return refusal(command + " is not a regular file");
  if ((st.st_mode & 0111) == 0) return refusal(command + " exists but this host cannot execute it");
  return {};
}

// The executable the installation record names, verified against its
// recorded digest; returns its full path.
Result<std::string> verified_executable(const std::string& prefix) {
  const std::string record = record_path(prefix);
  auto text = read_file(record, record + " cannot be read");
  if (!text.ok()) return refusal(record + " cannot be read: " + reason_of(text.error()));
  auto parsed = parse_json(*text);
  if (!parsed.ok()) return refusal(record + " is not an installation record: " + parsed.error());
  auto object = as_object(*parsed);
  if (!object.ok()) return refusal(record + " is not an installation record: " + object.error());
  auto executable = field_string(*parsed, "executable");
  if (!executable.ok())
    return refusal(record + " is not an installation record: " + executable.error());
  auto recorded = field_string(*parsed, "executable_sha256");
  if (!recorded.ok())
    return refusal(record + " is not an installation record: " + recorded.error());

  // A program outside the prefix is recorded by its full path.
  const std::string program =
      !executable->empty() && executable->front() == '/' ? *executable
                                                          : path_join(prefix, *executable);
  if (has_nul(program))
    return refusal(record + " names " + program + " and it could not be read: " +
                   std::string(kNulByte));
  auto found = digest_file(program);
  if (!found.ok())
    return refusal(record + " names " + program + " and it could not be read: " +
                   reason_of(found.error()));
  if (*found != *recorded)
    return refusal(program + " is not the " + std::string(declaration().executable_name) +
                   " this provider installed: recorded " + *recorded + ", found " + *found +
                   ". Nothing has been started. Re-run software_install to put the pinned bytes "
                   "back, or software_remove to take the prefix off.");
  return program;
}

std::string variable_name(std::string_view entry) {
  return std::string(entry.substr(0, entry.find('=')));
}

}  // namespace

Result<LaunchCommand> prepare_launch(std::string_view prefix_text, std::string_view target,
                                     const std::vector<std::string>& args) {
  VELK_TRY(host_build(current_release()));
  const std::string prefix = prefix_path(prefix_text);
  VELK_TRY(check_command(prefix));
  LaunchCommand command;
  VELK_ASSIGN(command.program, verified_executable(prefix));

  if (has_nul(target)) return refusal(std::string(kNulByte));
  command.argv.push_back(command.program);
  for (const std::string& arg : args) {
    if (has_nul(arg)) return refusal(std::string(kNulByte));
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
  ::execve(command.program.c_str(), argv.data(), envp.data());
  return refusal(command.program + " could not be started: " + errno_text(errno));
}

Error launch_installed(std::string_view prefix, std::string_view target,
                       const std::vector<std::string>& args) {
  auto command = prepare_launch(prefix, target, args);
  if (!command.ok()) return std::move(command).error();
  return exec_launch(*command);
}

}  // namespace velk
