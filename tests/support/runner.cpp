#include "support/runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

extern char** environ;

namespace velk::testing {
namespace {

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::abort();
}

std::vector<std::string> child_environment(const RunOptions& options) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const std::string& name : options.unset_env) vars.erase(name);
  for (const auto& [name, value] : options.set_env) vars[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& items) {
  std::vector<char*> out;
  for (std::string& item : items) out.push_back(item.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  // A child that closes its input early must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  // Built before fork: after it, only async-signal-safe calls are made.
  std::vector<std::string> argv_items{program};
  argv_items.insert(argv_items.end(), args.begin(), args.end());
  std::vector<char*> argv = pointers(argv_items);
  std::vector<std::string> env_items = child_environment(options);
  std::vector<char*> envp = pointers(env_items);

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    die("pipe2");

  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    ::setpgid(0, 0);
    ::signal(SIGPIPE, SIG_DFL);
    if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) ::_exit(127);
    if (options.as_user &&
        (::setgroups(0, nullptr) != 0 || ::setgid(options.as_user->second) != 0 ||
         ::setuid(options.as_user->first) != 0))
      ::_exit(126);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(127);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);

  // Input is written as the child reads it, between reads of its output: no pipe stalls.
  int in_fd = in[1];
  size_t in_done = 0;
  if (options.input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  } else {
    ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }

  RunResult result;
  int out_fd = out[0], err_fd = err[0];
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  char buffer[65536];
  while (out_fd >= 0 || err_fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    nfds_t n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    const int ready = ::poll(fds, n, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      die("poll");
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      const int fd = fds[i].fd;
      if (fd == in_fd) {
        const ssize_t w = ::write(fd, options.input.data() + in_done, options.input.size() - in_done);
        if (w > 0) in_done += static_cast<size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || in_done == options.input.size()) {
          ::close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      const ssize_t r = ::read(fd, buffer, sizeof buffer);
      if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (r <= 0) {
        ::close(fd);
        (fd == out_fd ? out_fd : err_fd) = -1;
        continue;
      }
      (fd == out_fd ? result.out : result.err).append(buffer, static_cast<size_t>(r));
    }
  }
  for (int fd : {in_fd, out_fd, err_fd})
    if (fd >= 0) ::close(fd);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) die("waitpid");
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

RunResult run_velk(const std::vector<std::string>& args, const RunOptions& options) {
  return run_program(VELK_BINARY_PATH, args, options);
}

}  // namespace velk::testing
