// Helpers shared by the identity, copy, pool and restore tests.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>

#include <gtest/gtest.h>

namespace velk::testing {

inline constexpr std::string_view kEmptyDigest =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

inline mode_t mode_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

inline void make_link(const std::string& to, const std::string& at) {
  ASSERT_EQ(::symlink(to.c_str(), at.c_str()), 0) << at;
}

inline void make_fifo(const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0) << at; }

// Binds a listening Unix socket at `at`; the descriptor is closed, the
// socket file stays.
inline void make_socket(const std::string& at) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(at.size(), sizeof address.sun_path) << at;
  std::memcpy(address.sun_path, at.c_str(), at.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << at;
  ::close(fd);
}

// Runs `work`, which may touch the FIFO at `fifo`, on another thread. If it
// has not returned within ten seconds it is stuck opening the FIFO: a writer
// is opened to release it and the test fails.
inline void expect_returns_promptly(const std::string& fifo, std::function<void()> work) {
  auto done = std::async(std::launch::async, std::move(work));
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return;
  ADD_FAILURE() << "blocked on the FIFO " << fifo;
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  done.wait();
  if (fd >= 0) ::close(fd);
}

}  // namespace velk::testing
