// Root provisioning trees a user owns while the user (a child dropped to
// them) plays tricks: root's run is never turned against anyone.
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/wait.h>

#include "consumer.h"
#include "core/text.h"
#include "support/usage.h"

namespace velk {
namespace {

using namespace velk::testing;

class Provisioning : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
    const passwd* user = ::getpwnam("nobody");
    if (!user) GTEST_SKIP() << "no user nobody";
    uid_ = user->pw_uid;
    gid_ = user->pw_gid;
    ASSERT_EQ(::chmod(base_.path().c_str(), 0755), 0);
    // A program the user can run, a TMPDIR anyone can write the catalog to.
    make_dirs(base_ / "bin");
    program_ = base_ / "bin/velk-setup-system";
    std::filesystem::copy_file(VELK_BINARY_PATH, program_);
    ASSERT_EQ(::chmod(program_.c_str(), 0755), 0);
    make_dirs(base_ / "tmp");
    ASSERT_EQ(::chmod((base_ / "tmp").c_str(), 01777), 0);
  }

  std::string owned_by_user(const std::string& name) {
    const std::string dir = base_ / name;
    make_dirs(dir);
    EXPECT_EQ(::chown(dir.c_str(), uid_, gid_), 0);
    return dir;
  }
  // A target whose control directory and pool the user made first.
  std::string prepared_by_user(const std::string& name) {
    const std::string dir = owned_by_user(name);
    EXPECT_TRUE(user_does([&] {
      return ::mkdir((dir + "/.velk-setup-system").c_str(), 0755) == 0 &&
             ::mkdir((dir + "/.velk-setup-system/backups").c_str(), 0755) == 0;
    }));
    return dir;
  }

  RunOptions options(bool as_user) const {
    RunOptions o;
    o.cwd = base_.path();
    o.set_env = {{"TMPDIR", base_ / "tmp"}};
    o.unset_env = {"VELK_SETUP_SYSTEM_SETUP_CATALOG"};
    if (as_user) o.as_user = std::make_pair(uid_, gid_);
    return o;
  }
  RunResult as_root(const Words& args) const { return run_program(program_, args, options(false)); }
  RunResult as_user(const Words& args) const { return run_program(program_, args, options(true)); }
  // root applies a software_install of 1.0.18 into `prefix` over the wire.
  RunResult install_software(const std::string& target, const std::string& prefix) const {
    const Json envelope = plan_request(target, "software_install", {"--prefix", prefix});
    return as_root(apply_words(target, store_plan(envelope, base_ / "plan"),
                               envelope.value("plan_digest", ""),
                               {"--prefix", prefix, "--software-artifact",
                                host_artifact("1.0.18")}));
  }
  void root_ok(const Words& args) const {
    const RunResult r = as_root(args);
    ASSERT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
  }

  // Runs `body` as the user in a child; true when it returned true.
  bool user_does(const std::function<bool()>& body) const {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(60);
      const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(gid_) == 0 && ::setuid(uid_) == 0;
      ::_exit(dropped && body() ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

  std::vector<std::string> not_the_users(const std::string& dir) const {
    std::vector<std::string> out;
    struct stat st;
    if (::lstat(dir.c_str(), &st) == 0 && st.st_uid != uid_) out.push_back(dir);
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
      if (::lstat(e.path().c_str(), &st) == 0 && (st.st_uid != uid_ || st.st_gid != gid_))
        out.push_back(e.path().string());
    return out;
  }

  TempDir base_;
  std::string program_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(Provisioning, WhatRootCreatesInAUsersTargetBelongsToTheUserWhoKeepsFullUseOfIt) {
  const std::string t = owned_by_user("home");
  root_ok({"install", "baseline", "--target", t});
  root_ok({"select", "minimal", "--target", t});
  EXPECT_EQ(not_the_users(t), std::vector<std::string>{});
  for (const char* made : {"/.velk-setup-system/target.lock", "/.velk-setup-system/backups/"
                           "slot-000000000002/payload/config.toml", "/MIREL-VELK-PROVIDER.json"})
    EXPECT_TRUE(exists(t + made)) << made;

  EXPECT_TRUE(user_does([&] {
    const int fd = ::open((t + "/AGENTS.md").c_str(), O_WRONLY | O_APPEND);
    return fd >= 0 && ::write(fd, "mine\n", 5) == 5 && ::close(fd) == 0;
  }));
  const RunResult status = as_user({"status", "--target", t});
  EXPECT_EQ(status.exit_code, 0) << status.err;
  EXPECT_NE(status.out.find("Drift    the target has changed since it was applied\n"),
            std::string::npos) << status.out;
  const RunResult restored = as_user({"restore", "--target", t});
  EXPECT_EQ(restored.exit_code, 0) << restored.err;
  EXPECT_TRUE(exists(t + "/config.toml"));
  EXPECT_EQ(not_the_users(t), std::vector<std::string>{});

  const std::string prefix = owned_by_user("opt");
  const RunResult applied = install_software(t, prefix);
  EXPECT_NE(applied.out.find("\"state\":\"verified\""), std::string::npos) << applied.out;
  EXPECT_EQ(not_the_users(prefix), std::vector<std::string>{});
}

// The owner swaps the control directory for a link to another user's whenever root takes the
// lock (inotify on the lock file): root's changes never reach the other user's pool.
TEST_F(Provisioning, AControlDirectorySwappedForALinkAfterTheLockChangesNothingElsewhere) {
  const std::string a = prepared_by_user("a");
  const std::string b = base_ / "b";
  make_dirs(b);
  root_ok({"install", "baseline", "--target", b});
  root_ok({"install", "minimal", "--target", a});
  const auto before = snapshot(b);
  const std::string control = a + "/.velk-setup-system";

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t attacker = ::fork();
  if (attacker == 0) {
    ::alarm(240);
    ::close(ready[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0) ::_exit(1);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    if (watch < 0 ||
        ::inotify_add_watch(watch, (control + "/target.lock").c_str(), IN_MODIFY) < 0)
      ::_exit(1);
    (void)!::write(ready[1], "r", 1);
    char events[4096];
    for (;;) {
      if (::read(watch, events, sizeof events) <= 0) ::_exit(1);
      if (::rename(control.c_str(), (a + "/moved").c_str()) != 0) continue;
      (void)!::symlink((b + "/.velk-setup-system").c_str(), control.c_str());
      (void)!::write(ready[1], "s", 1);
      ::usleep(20000);  // while root works on
      ::unlink(control.c_str());
      ::rename((a + "/moved").c_str(), control.c_str());
    }
  }
  ::close(ready[1]);
  char signal = 0;
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_TRUE(::poll(&p, 1, 10000) == 1 && ::read(ready[0], &signal, 1) == 1);

  // Under load the owner wins less often: rounds go on until five swaps, within a bound.
  int succeeded = 0;
  ssize_t swapped = 0;
  char swaps[256];
  ::fcntl(ready[0], F_SETFL, O_NONBLOCK);
  for (int round = 0; round < 30 || (swapped < 5 && round < 150); ++round) {
    const RunResult r = as_root({round % 2 ? "select" : "install", round % 3 ? "minimal" : "baseline",
                                 "--target", a});
    succeeded += r.exit_code == 0;
    swapped += std::max<ssize_t>(::read(ready[0], swaps, sizeof swaps), 0);
  }
  ::kill(attacker, SIGKILL);
  ::waitpid(attacker, nullptr, 0);
  ::close(ready[0]);
  if (exists(a + "/moved")) {
    ::unlink(control.c_str());
    ASSERT_EQ(::rename((a + "/moved").c_str(), control.c_str()), 0);
  }
  EXPECT_GE(swapped, 5) << "the swap was made too rarely to prove anything";
  EXPECT_EQ(snapshot(b), before);
  // Every change root made captured into the target's own pool.
  EXPECT_GT(succeeded, 0);
  EXPECT_TRUE(exists(control + "/backups/" + slot_name(static_cast<uint64_t>(succeeded) + 1)));
}

// A link at a slot's name, to another user's slot, is no slot.
TEST_F(Provisioning, ALinkAtASlotsNameIsNoSlot) {
  const std::string a = prepared_by_user("a");
  const std::string b = base_ / "b";
  write_text(b + "/AGENTS.md", "b's secret\n");
  root_ok({"install", "minimal", "--target", b});  // b's secret goes into b's slot 1
  root_ok({"install", "baseline", "--target", a});
  const std::string pool = a + "/.velk-setup-system/backups";
  ASSERT_TRUE(user_does([&] {
    return ::symlink((b + "/.velk-setup-system/backups/slot-000000000001").c_str(),
                     (pool + "/slot-000000000009").c_str()) == 0;
  }));
  const RunResult listed = as_root({"backups", "--target", a});
  EXPECT_EQ(listed.out, "Backups of " + a + ", newest first:\n\n"
                        "  slot-000000000001  (restored by default)\n"
                        "      before install, setup none\n\n"
                        "Restore a specific one with:  restore --backup <ref> --target <dir>\n");
  expect_failure(as_root({"restore", "--backup", "slot-000000000009", "--target", a}),
                 "slot-000000000009 is not a completed backup of this target");
  root_ok({"restore", "--target", a});
  EXPECT_FALSE(exists(a + "/AGENTS.md") && read_text(a + "/AGENTS.md") == "b's secret\n");
  EXPECT_FALSE(exists(pool + "/slot-000000000009"));
  EXPECT_EQ(read_text(b + "/.velk-setup-system/backups/slot-000000000001/payload/AGENTS.md"),
            "b's secret\n");
}

// Never a root-owned set-user-ID copy of the user's program.
TEST_F(Provisioning, SetIdBitsNeverSurviveACaptureOrARestore) {
  const std::string t = owned_by_user("home");
  ASSERT_TRUE(user_does([&] {
    write_text(t + "/skills/helper/tool", "#!/bin/sh\nid\n", 0755);
    write_text(t + "/skills/helper/group", "g", 0644);
    return ::chmod((t + "/skills/helper/tool").c_str(), 04755) == 0 &&
           ::chmod((t + "/skills/helper/group").c_str(), 02755) == 0;
  }));
  root_ok({"install", "minimal", "--target", t});
  root_ok({"restore", "--target", t});
  const auto mode = [](const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  };
  EXPECT_EQ(mode(t + "/skills/helper/tool"), 0755u);
  EXPECT_EQ(mode(t + "/skills/helper/group"), 0755u);
  for (const auto& e : std::filesystem::recursive_directory_iterator(t))
    EXPECT_EQ(mode(e.path().string()) & 07000, 0u) << e.path();
  EXPECT_EQ(not_the_users(t), std::vector<std::string>{});
}

TEST_F(Provisioning, APrefixWhoseBinIsALinkIsRefused) {
  const std::string prefix = owned_by_user("opt");
  const std::string other = base_ / "other";
  make_dirs(other);
  ASSERT_TRUE(user_does([&] { return ::symlink(other.c_str(), (prefix + "/bin").c_str()) == 0; }));
  const std::string home = owned_by_user("home");
  EXPECT_EQ(install_software(home, prefix).out, refusal_line("provider_unavailable",
                                prefix + "/bin is a symbolic link, which this build does not "
                                         "follow inside a prefix; no effect was made"));
  EXPECT_EQ(snapshot(other), (std::map<std::string, std::string>{}));
  EXPECT_FALSE(exists(prefix + "/1.0.18"));
}

// Text the owner wrote into a hold or a record reaches root quoted.
TEST_F(Provisioning, ValuesFromTheTargetCannotForgeReportLines) {
  const std::string t = prepared_by_user("home");
  root_ok({"install", "baseline", "--target", t});
  const std::string reason = "x\nslot-000000000777  (restored by default)\x1b]0;pwned\x07";
  const std::string setup = "baseline\nDrift    none";
  const std::string state_path = t + "/MIREL-VELK-PROVIDER.json";
  Json state = Json::parse(read_text(state_path));
  state["setup_stable_id"] = setup;
  ASSERT_TRUE(user_does([&] {
    write_text(t + "/.velk-setup-system/backups/slot-000000000001/HELD", reason);
    write_text(state_path, state.dump());
    return true;
  }));
  const RunResult backups = as_root({"backups", "--target", t});
  EXPECT_EQ(backups.out, "Backups of " + t + ", newest first:\n\n"
                         "  slot-000000000001  (restored by default)  (held: \"x\\nslot-000000000777"
                         "  (restored by default)\\u{1b}]0;pwned\\u{7}\")\n"
                         "      before install, setup none\n\n"
                         "Restore a specific one with:  restore --backup <ref> --target <dir>\n");
  const RunResult status = as_root({"status", "--target", t});
  EXPECT_NE(status.out.find("\nSetup    \"baseline\\nDrift    none\"\n"), std::string::npos)
      << status.out;
  EXPECT_EQ(status.out.find('\x1b'), std::string::npos);
}

// 30 MB of an undefined member (ten million empty arrays) is not built.
TEST_F(Provisioning, APaddedStateFileIsReadInAboutItsOwnSize) {
  const std::string t = owned_by_user("home");
  root_ok({"install", "minimal", "--target", t});
  const std::string state_path = t + "/MIREL-VELK-PROVIDER.json";
  std::string padded = "{\"padding\":[[]";
  padded.reserve(31u << 20);
  for (int i = 1; i < 10'000'000; ++i) padded += ",[]";
  padded += "]," + read_text(state_path).substr(1);
  ASSERT_TRUE(user_does([&] {
    write_text(state_path, padded);
    return true;
  }));
  const std::string out = base_ / "status.out";
  const ChildUsage usage = run_measured([&] {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::execl(program_.c_str(), program_.c_str(), "status", "--target", t.c_str(), nullptr);
    return 127;
  });
  EXPECT_EQ(usage.exit_code, 0);
  // A small multiple of the file with sanitizers (building every array took over 20x).
  EXPECT_LT(usage.max_rss_kib, 6 * 30 * 1024) << "kiB for a 30 MB file";
  EXPECT_NE(read_text(out).find("Setup    minimal\n"), std::string::npos) << read_text(out);
}

}  // namespace
}  // namespace velk
