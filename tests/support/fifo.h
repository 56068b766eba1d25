// Runs `work` on another thread. Still running after ten seconds means it
// waits on the FIFO `fifo`: a writer is opened to release it and the test
// fails, so no test ever waits on a FIFO without a bound.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include <gtest/gtest.h>

namespace velk::testing {

inline void expect_returns_promptly(const std::string& fifo, std::function<void()> work) {
  auto done = std::async(std::launch::async, std::move(work));
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return;
  ADD_FAILURE() << "blocked on the FIFO " << fifo;
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  done.wait();
  if (fd >= 0) ::close(fd);
}

}  // namespace velk::testing
