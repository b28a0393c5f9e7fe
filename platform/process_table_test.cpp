#include "platform/process_table.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "tests/fake_app.h"

namespace tidymark {
namespace {

using testing::FakeApp;

class ProcessTableTest : public testing::FakeAppTest {};

// The name listed for `pid`: nullopt when not listed, "<none>" when listed without a name.
std::optional<std::string> listedName(int pid) {
  std::vector<LaunchedApplication> apps;
  EXPECT_TRUE(SystemProcessTable().launchedApplications(&apps).ok());
  for (const LaunchedApplication& app : apps) {
    if (app.pid == pid) return app.name.value_or("<none>");
  }
  return std::nullopt;
}

TEST_F(ProcessTableTest, ListsThisUsersProcessesByTheirNames) {
  // Names with parentheses and spaces come through whole; an empty one is listed as no name.
  const std::pair<const char*, const char*> names[] = {
      {"Safari", "Safari"}, {"Safari Beta", "Safari Beta"}, {"a) b (c)", "a) b (c)"},
      {"x) S 1", "x) S 1"}, {"(Safari)", "(Safari)"},       {"", "<none>"},
  };
  std::vector<std::unique_ptr<FakeApp>> apps;
  for (const auto& name : names) {
    apps.push_back(std::make_unique<FakeApp>(name.first));
    ASSERT_TRUE(apps.back()->ready()) << name.first;
  }
  for (size_t i = 0; i < apps.size(); ++i) {
    EXPECT_EQ(listedName(apps[i]->pid()), names[i].second);
  }
  EXPECT_TRUE(listedName(getpid()).has_value());
}

TEST_F(ProcessTableTest, LeavesOutExitedProcesses) {
  FakeApp app("Safari");
  ASSERT_TRUE(app.ready());
  kill(app.pid(), SIGKILL);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, app.pid(), &info, WEXITED | WNOWAIT), 0);  // a zombie, not reaped
  EXPECT_EQ(listedName(app.pid()), std::nullopt);
}

TEST_F(ProcessTableTest, RequestQuitOnlyForTheSameNameAndAProcess) {
  FakeApp app("Safari");
  ASSERT_TRUE(app.ready());
  SystemProcessTable table;
  const LaunchedApplication refused[] = {{app.pid(), "safari"}, {app.pid(), "Safari Beta"},
                                         {app.pid(), "Safar"},  {app.pid(), std::nullopt},
                                         {0, "Safari"},         {-1, "Safari"},
                                         {-app.pid(), "Safari"}};
  for (const LaunchedApplication& request : refused) {
    EXPECT_FALSE(table.requestQuit(request)) << request.pid << " " << request.name.value_or("");
  }
  ASSERT_TRUE(app.alive());

  EXPECT_TRUE(table.requestQuit({app.pid(), "Safari"}));
  EXPECT_EQ(app.reap(), SIGTERM);
  EXPECT_FALSE(table.requestQuit({app.pid(), "Safari"}));  // gone
}

}  // namespace
}  // namespace tidymark
