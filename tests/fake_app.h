#pragma once

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace tidymark::testing {

// tests/fake_app.cpp started under the name `name`; killed and reaped when destroyed. mode is
// "quits" or "ignores" (SIGTERM), or "saves" followed by SRC and DST in `extra` (see there);
// uid >= 0 runs it as that user (needs root).
class FakeApp {
 public:
  explicit FakeApp(const std::string& name, const std::string& mode = "quits", int uid = -1,
                   std::vector<std::string> extra = {});
  ~FakeApp();
  FakeApp(const FakeApp&) = delete;
  int pid() const { return pid_; }
  bool ready() const { return ready_; }  // it started and renamed itself
  bool alive();                          // it has not exited (a zombie has)
  void reap();  // waits for it to exit (killing it after 10 s) and reaps it

 private:
  RunningProgram program_;
  int pid_ = -1;
  bool ready_ = false;
};

// Tests that start fake applications run one at a time, even across test processes, so one
// test's quit of "Safari" cannot end another test's "Safari".
class FakeAppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  int lock_ = -1;
};

}  // namespace tidymark::testing
