// Shared by the benchmarks that drive the real program: the full-size test
// bundle, a scratch directory, and running a command quietly.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bundle/claim.h"
#include "core/fs.h"
#include "support/bundle_writer.h"

namespace velk::bench {

inline constexpr int kBundleFiles = 2000;
inline constexpr size_t kBundleFileSize = 33000;  // 2,000 files, just under 64 MiB in all

// Printable pseudo-random bytes (xorshift), deterministic per seed.
inline std::string pseudo_random_text(size_t size, uint64_t& state) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    c = static_cast<char>(' ' + state % 95);
  }
  return bytes;
}

// DIR/bundle.zip: 2,000 skill files, just under the 64 MiB bundle ceiling.
inline BundleClaim write_full_bundle(const std::string& dir) {
  std::map<std::string, testing::FileSpec> files;
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < kBundleFiles; ++i) {
    char name[48];
    std::snprintf(name, sizeof name, "skills/s%04d/SKILL.md", i);
    files[name] = {pseudo_random_text(kBundleFileSize, state)};
  }
  const testing::BundleParts parts = testing::make_bundle(files);
  files.clear();
  return testing::write_bundle(dir + "/bundle.zip", parts);
}

inline std::vector<std::string> claim_flags(const BundleClaim& claim) {
  return {"--bundle",          claim.path,          "--bundle-format", claim.format,
          "--bundle-digest",   claim.bundle_digest, "--artifact-digest", claim.artifact_digest,
          "--bundle-size",     std::to_string(claim.size)};
}

// A fresh directory under TMPDIR, removed with everything in it.
struct ScratchDir {
  std::string path;
  explicit ScratchDir(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (!::mkdtemp(templ.data())) std::abort();
    path = templ;
  }
  ~ScratchDir() { (void)remove_path(path); }
};

// Runs a program with its standard output sent to /dev/null (or to `out`
// when given); returns the exit status (-1 when it did not exit) and its
// peak resident memory in KiB.
inline int run_quietly(const std::vector<std::string>& argv, long* peak_kib = nullptr,
                       const std::string* out = nullptr) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int sink = out ? ::open(out->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                         : ::open("/dev/null", O_WRONLY);
    ::dup2(sink, 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (::wait4(child, &status, 0, &usage) != child) return -1;
  if (peak_kib) *peak_kib = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int run_shell(const std::string& command) {
  return run_quietly({"/bin/sh", "-c", command});
}

}  // namespace velk::bench
