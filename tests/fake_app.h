#pragma once

// Runs tests/fake_app.cpp as a real process for the process-table tests.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tidymark::testing {

// A running fake_app renamed to `name`; killed and reaped when destroyed.
class FakeApp {
 public:
  // mode is "quits" or "ignores" (SIGTERM), or "saves" followed by SRC and DST in `extra` (see
  // fake_app.cpp); uid >= 0 runs it as that user (needs root).
  explicit FakeApp(const std::string& name, const std::string& mode = "quits", int uid = -1,
                   std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {TIDYMARK_FAKE_APP, name, mode};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
        _exit(126);
      }
      if (dup2(out[1], STDOUT_FILENO) < 0) _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    if (pid_ > 0) ready_ = awaitReady(out[0]);
    close(out[0]);
  }
  ~FakeApp() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  FakeApp(const FakeApp&) = delete;
  FakeApp& operator=(const FakeApp&) = delete;

  int pid() const { return pid_; }
  // Whether it started and renamed itself.
  bool ready() const { return ready_; }
  // Whether it has not exited (a zombie has).
  bool alive() {
    if (reaped_) return false;
    siginfo_t info{};
    waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT);
    return info.si_pid == 0;
  }
  // Waits for it to exit and reaps it; returns the signal that ended it (0 if none). One that
  // has not exited after 10 s is killed, so a broken quit shows as SIGKILL rather than a hang.
  int reap() {
    if (reaped_) return 0;
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++i)
      usleep(10000);
    if (done != pid_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    reaped_ = true;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

 private:
  static bool awaitReady(int fd) {
    std::string got;
    char buffer[16];
    while (got.size() < 6) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return false;
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) return false;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got == "ready\n";
  }

  int pid_ = -1;
  bool ready_ = false;
  bool reaped_ = false;
};

// Tests that start fake applications run one at a time, even across test processes, so one
// test's quit of "Safari" cannot end another test's "Safari".
class FakeAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lock_ = open("/tmp/tidymark-fake-app.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock_, 0);
    ASSERT_EQ(flock(lock_, LOCK_EX), 0);
  }
  void TearDown() override {
    if (lock_ >= 0) close(lock_);
  }

 private:
  int lock_ = -1;
};

}  // namespace tidymark::testing
