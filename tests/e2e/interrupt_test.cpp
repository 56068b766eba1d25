// Ctrl-C, SIGTERM and SIGHUP during a change: before the journal it stops,
// after it finishes; it ends by the signal and nothing blocks what follows.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "consumer.h"

namespace velk {
namespace {

using namespace velk::testing;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 3000;

struct Ended : RunResult {
  bool moment_seen = false;
};

// Runs `args`, waits (bounded) until `moment` holds, and sends `signal` to the program.
Ended interrupt_at(const Words& args, const std::string& side,
                   const std::function<bool()>& moment, int signal = SIGINT) {
  const std::string pid_file = side + "/pid";
  ::unlink(pid_file.c_str());
  Words shell = {"-c", "echo $$ > \"$0.new\" && mv \"$0.new\" \"$0\" && exec \"$@\"", pid_file,
                 VELK_BINARY_PATH};
  shell.insert(shell.end(), args.begin(), args.end());
  Ended ended;
  std::atomic<bool> done = false;
  std::thread child([&] {
    static_cast<RunResult&>(ended) = run_program("/bin/sh", shell);
    done = true;
  });
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!done && Clock::now() < deadline) {
    if (exists(pid_file) && moment()) {
      ended.moment_seen = true;
      ::kill(std::stoi(read_text(pid_file)), signal);
      break;
    }
  }
  child.join();
  return ended;
}

// kFiles files backed up as slot-000000000001, then edited: a whole tree to restore.
struct Interrupted {
  // Thousands of files written and removed many times over: kept in memory.
  TempDir t{memory_temp_base()};
  TempDir side{memory_temp_base()};
  std::string control = t / ".velk-setup-system";
  std::string before_edit;  // identity when slot 1 was taken
  std::string edited;       // identity the restore starts from

  explicit Interrupted(int files = kFiles) {
    write_text(t / "AGENTS.md", "original\n");
    for (int i = 0; i < files; ++i)
      write_text(t / ("skills/s" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".md"),
                 "file " + std::to_string(i) + "\n");
    before_edit = status_identity(t.path());
    const Json backup = plan_and_apply(t.path(), "backup", {}, {}, side / "plan");
    EXPECT_EQ(backup.value("backup_ref", ""), "slot-000000000001") << backup.dump();
    write_text(t / "AGENTS.md", "edited\n");
    edited = status_identity(t.path());
    // Cleared, the lock's note marks the moment the restore holds it.
    write_text(control + "/target.lock", "");
  }

  Words restore() const { return {"restore", "--target", t.path()}; }
  std::string slot(int n) const {
    return control + "/backups/slot-00000000000" + std::to_string(n);
  }
  Words top() const { return list_directory(control + "/backups").value(); }

  // No journal, no incomplete slot, and a restore of slot 1 runs.
  void expect_nothing_blocking() {
    EXPECT_FALSE(exists(control + "/journal.json"));
    for (const std::string& name : top())
      EXPECT_TRUE(exists(control + "/backups/" + name + "/slot.json")) << name;
    const RunResult again =
        run_velk({"restore", "--backup", "slot-000000000001", "--target", t.path()});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(read_text(t / "AGENTS.md"), "original\n");
  }
};

bool lock_noted(const std::string& control) {
  struct stat st;
  return ::stat((control + "/target.lock").c_str(), &st) == 0 && st.st_size > 0;
}

// The restore may pass the moment before the signal lands: three tries must hit it once.
template <typename Try>
void within_three_tries(Try attempt) {
  for (int i = 0; i < 3; ++i)
    if (attempt()) return;
  ADD_FAILURE() << "the moment was not hit in three tries";
}

// Stopped at the lock or mid-capture: the unfinished slot goes.
TEST(Interrupt, BeforeTheJournalNothingIsChangedAndNoUnfinishedSlotIsLeft) {
  struct Moment {
    int signal;
    const char* name;
    bool mid_capture;
  };
  for (const auto& [signal, name, mid_capture] :
       {Moment{SIGINT, "SIGINT", false}, Moment{SIGTERM, "SIGTERM", false},
        Moment{SIGHUP, "SIGHUP", false}, Moment{SIGINT, "SIGINT", true}}) {
    const std::string stopped = "velk-setup-system: interrupted by " + std::string(name) +
                                " before the change began; nothing was changed\n";
    SCOPED_TRACE(stopped + (mid_capture ? "mid-capture" : "at the lock"));
    within_three_tries([&] {
      Interrupted f;
      const std::string filling = f.slot(2) + "/payload/skills/s1";
      const Ended ended = interrupt_at(
          f.restore(), f.side.path(),
          [&] { return mid_capture ? exists(filling) : lock_noted(f.control); }, signal);
      EXPECT_TRUE(ended.moment_seen);
      EXPECT_EQ(ended.signal, signal) << ended.err;
      if (ended.err != stopped) return false;  // passed the moment first
      if (exists(f.slot(2))) {
        // The capture finished first: it stopped at the next boundary.
        EXPECT_TRUE(exists(f.slot(2) + "/slot.json"));
        return false;
      }
      EXPECT_EQ(ended.out, "");
      EXPECT_EQ(status_identity(f.t.path()), f.edited);
      EXPECT_EQ(f.top(), Words{"slot-000000000001"});
      f.expect_nothing_blocking();
      return true;
    });
  }
}

TEST(Interrupt, AfterTheJournalIsPublishedTheChangeIsFinished) {
  within_three_tries([] {
    Interrupted f;
    const Ended ended = interrupt_at(f.restore(), f.side.path(),
                                     [&] { return exists(f.control + "/journal.json"); });
    if (!ended.moment_seen) return false;  // finished before the journal was seen
    EXPECT_EQ(ended.signal, SIGINT) << ended.err;
    EXPECT_EQ(ended.err,
              "velk-setup-system: interrupted by SIGINT while the change was under way; the "
              "change was finished\n");
    EXPECT_EQ(ended.out, "Restored the most recent backup into " + f.t.path() +
                             ".\n  state before this restore captured as slot-000000000002\n");
    EXPECT_EQ(status_identity(f.t.path()), f.before_edit);
    EXPECT_EQ(read_text(f.t / "AGENTS.md"), "original\n");
    f.expect_nothing_blocking();
    return true;
  });
}

// On a terminal: progress on standard error, the first Ctrl-C after the journal answered at
// once, a second stopping at the next boundary and naming the recovery command.
TEST(Interrupt, OnATerminalProgressShowsAndASecondCtrlCLeavesTheChangeForRecovery) {
  within_three_tries([] {
    Interrupted f(20000);
    const std::string out = f.side / "out";
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      ::execl(VELK_BINARY_PATH, VELK_BINARY_PATH, "restore", "--target", f.t.path().c_str(),
              nullptr);
      ::_exit(127);
    }
    EXPECT_GT(pid, 0);
    std::string screen;
    // Reads what the program drew until `until` holds or it ends (bounded).
    const auto read_until = [&](const std::function<bool()>& until) {
      const auto deadline = Clock::now() + std::chrono::seconds(30);
      while (!until() && Clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 1) == 1) {
          char buffer[4096];
          const ssize_t n = ::read(master, buffer, sizeof buffer);
          if (n <= 0) return;  // the program has ended
          screen.append(buffer, static_cast<size_t>(n));
        }
      }
    };
    read_until([&] { return exists(f.control + "/journal.json"); });
    (void)!::write(master, "\x03", 1);  // Ctrl-C, as the terminal sends it
    read_until([&] { return screen.find("already under way") != std::string::npos; });
    (void)!::write(master, "\x03", 1);
    read_until([] { return false; });
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    if (screen.find("stopped by a second") == std::string::npos) return false;  // finished first

    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_NE(screen.find("\r\033[Kvelk-setup-system: capturing, "), std::string::npos) << screen;
    EXPECT_NE(screen.find("velk-setup-system: finishing the change already under way"),
              std::string::npos) << screen;
    EXPECT_NE(screen.find("; press Ctrl-C again to stop it part way and leave it for recovery\r\n"),
              std::string::npos) << screen;
    EXPECT_NE(screen.find("velk-setup-system: stopped by a second SIGINT part way through the "
                          "change; its journal is kept, and  velk-setup-system recover-operation "
                          "--target " + f.t.path() + " --json  puts the target back as it was\r\n"),
              std::string::npos) << screen;
    EXPECT_EQ(read_text(out), "");
    EXPECT_TRUE(exists(f.control + "/journal.json"));
    const RunResult recovered = run_velk({"recover-operation", "--target", f.t.path(), "--json"});
    EXPECT_NE(recovered.out.find("\"recovered\":true"), std::string::npos) << recovered.out;
    EXPECT_EQ(status_identity(f.t.path()), f.edited);
    f.expect_nothing_blocking();
    return true;
  });
}

// Not a request for a recovery that would be wrong to run.
TEST(Interrupt, APlannerMeetingAChangeInProgressSaysAnotherProcessIsChangingTheTarget) {
  Interrupted f(1);
  const std::string busy =
      "another process is changing " + f.t.path() + "; plan again when it has finished";
  {
    auto lock = lock_target(dir_of(f.control));
    ASSERT_TRUE(lock.ok());
    ASSERT_TRUE(publish_prepared(f.t.path(), "op-1", "restore", "slot-000000000001"));
    expect_failure(run_velk(f.restore()), busy);
    EXPECT_EQ(refusal_of(plan_request(f.t.path(), "backup")), "provider_unavailable: " + busy);
  }
  // Unlocked, the same journal is an interrupted change.
  expect_failure(run_velk(f.restore()),
                 "operation op-1 is journaled as prepared; run recovery before planning");
}

}  // namespace
}  // namespace velk
