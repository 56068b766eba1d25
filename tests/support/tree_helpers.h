// Helpers shared by the store and core tests: trees, pools, and child processes for
// the kill and race tests, forked and always reaped within a bound.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "store/pool.h"
#include "support/fifo.h"
#include "support/temp_dir.h"

namespace velk::testing {

inline constexpr std::string_view kEmptyDigest =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

inline mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

inline void make_link(const std::string& to, const std::string& at) {
  ASSERT_EQ(::symlink(to.c_str(), at.c_str()), 0) << at;
}

// Binds a Unix socket at `at`; the socket file stays after the close.
inline void make_socket(const std::string& at) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(at.size(), sizeof address.sun_path) << at;
  std::memcpy(address.sun_path, at.c_str(), at.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << at;
  ::close(fd);
}

template <class T>
void expect_error(const Result<T>& result, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(result.ok()) << message;
  EXPECT_EQ(result.error().kind, kind);
  EXPECT_EQ(result.error().message, message);
}

inline std::string record_text(const std::string& name, const std::string& operation_id = "x") {
  return "{\"backup_ref\":\"" + name + "\",\"operation\":\"install\",\"operation_id\":\"" +
         operation_id +
         "\",\"schema_version\":1,\"setup_definition_digest\":null,\"setup_id\":null,"
         "\"target_identity_digest\":\"" + std::string(kEmptyDigest) + "\"}";
}

// The pool at `path` as a reading command finds it: held when it exists,
// none otherwise. Nothing is created.
inline BackupPool pool_at(const std::string& path) {
  auto dir = Dir::open_root(path);
  return BackupPool{path, 10, dir.ok() ? std::move(dir).value() : Dir()};
}

// A target with its pool directory, as opening the store leaves it.
struct PoolFixture {
  TempDir t;
  BackupPool pool{t / ".velk-setup-system/backups", 10, dir_of(t / ".velk-setup-system/backups")};
  std::string slot_dir(uint64_t n) const { return pool.path + "/" + slot_name(n); }
  Dir slot(uint64_t n) const { return dir_of(slot_dir(n)); }

  // A complete slot made by hand, without capturing.
  void make_slot(uint64_t n) const {
    make_dirs(slot_dir(n) + "/payload");
    write_text(slot_dir(n) + "/slot.json", record_text(slot_name(n)));
  }

  std::string capture_now(const std::vector<std::string>& surfaces = declaration().owned_paths(),
                          CaptureRequest r = {"install", "op-1", std::string(kEmptyDigest), {},
                                              {}, {}}) const {
    auto name = capture(pool, dir_of(t.path()), surfaces, r);
    EXPECT_TRUE(name.ok()) << name.error().full();
    return name.ok() ? *name : "";
  }

  // The names of the complete slots, newest first.
  std::vector<std::string> listed() const {
    auto slots = list_slots(pool);
    EXPECT_TRUE(slots.ok()) << slots.error().full();
    std::vector<std::string> out;
    for (const auto& s : slots.ok() ? *slots : std::vector<SlotEntry>{}) out.push_back(s.name);
    return out;
  }
};

// Slot names from `high` down to `low`.
inline std::vector<std::string> slot_names(uint64_t high, uint64_t low) {
  std::vector<std::string> out;
  for (uint64_t n = high; n >= low; --n) out.push_back(slot_name(n));
  return out;
}

// Runs `body` in a forked child that exits 0 after it.
inline pid_t spawn(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    ::alarm(60);  // never outlive a stuck test
    body();
    ::_exit(0);
  }
  return pid;
}

// Waits for the child, killing it as soon as `kill_when` holds. Returns the
// signal that ended it, or 0 when it exited; a child still running after 20
// seconds is killed and the test fails.
inline int reap(pid_t pid, const std::function<bool()>& kill_when = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    const bool late = std::chrono::steady_clock::now() > deadline;
    if (late || (kill_when && kill_when())) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      if (late) ADD_FAILURE() << "the child did not end in time";
      break;
    }
    // A condition to watch is polled without pause, so as not to miss it.
    if (!kill_when) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

}  // namespace velk::testing
