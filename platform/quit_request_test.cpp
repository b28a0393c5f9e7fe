#include "platform/quit_request.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/fake_app.h"

namespace tidymark {
namespace {

using namespace std::chrono_literals;
using testing::FakeApp;

constexpr std::string_view kQuitSafari = "tell application \"Safari\" to quit";

// The system's table, counting what is asked of it.
class CountingTable : public ProcessTable {
 public:
  Status launchedApplications(std::vector<LaunchedApplication>* apps) override {
    ++looks;
    return system.launchedApplications(apps);
  }
  bool requestQuit(const LaunchedApplication& app) override {
    ++requests;
    return system.requestQuit(app);
  }

  SystemProcessTable system;
  int looks = 0;
  int requests = 0;
};

bool listed(int pid, const std::string& name) {
  std::vector<LaunchedApplication> apps;
  EXPECT_TRUE(SystemProcessTable().launchedApplications(&apps).ok());
  for (const LaunchedApplication& app : apps) {
    if (app.pid == pid && app.name == name) return true;
  }
  return false;
}

class QuitScriptTest : public testing::FakeAppTest {};

TEST_F(QuitScriptTest, EndsTheApplicationOfThatNameOnly) {
  FakeApp safari("Safari");
  FakeApp lower("safari");
  FakeApp beta("Safari Beta");
  for (FakeApp* app : {&safari, &lower, &beta})
    ASSERT_TRUE(app->ready());
  ASSERT_TRUE(listed(safari.pid(), "Safari"));
  CountingTable table;
  EXPECT_TRUE(runQuitScript(kQuitSafari, table).ok());
  EXPECT_EQ(table.requests, 1);
  ASSERT_FALSE(listed(safari.pid(), "Safari"));  // exited, though not reaped yet
  EXPECT_EQ(safari.reap(), SIGTERM);
  EXPECT_TRUE(lower.alive());
  EXPECT_TRUE(beta.alive());

  CountingTable none;
  EXPECT_TRUE(runQuitScript("tell application \"No Such App\" to quit", none).ok());
  EXPECT_EQ(none.looks, 1);
}

TEST_F(QuitScriptTest, ReturnsAfterTheWaitWhenTheApplicationStays) {
  FakeApp app("Safari", "ignores");
  ASSERT_TRUE(app.ready());
  SystemProcessTable table;
  EXPECT_TRUE(runQuitScript(kQuitSafari, table, 200ms).ok());
  EXPECT_TRUE(app.alive());
  EXPECT_TRUE(listed(app.pid(), "Safari"));
}

TEST_F(QuitScriptTest, RefusesOtherScriptsWithoutLooking) {
  const char* scripts[] = {
      "",
      "tell application Safari to quit",
      "tell application \"Saf\"ari\" to quit",
      "tell application \"Safari\" to activate",
  };
  CountingTable table;
  for (const char* script : scripts) {
    EXPECT_EQ(runQuitScript(script, table).message(), "unsupported script: " + std::string(script));
  }
  EXPECT_EQ(table.looks, 0);
  EXPECT_EQ(table.requests, 0);
}

TEST_F(QuitScriptTest, IgnoresOtherUsersApplications) {
  if (geteuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
  FakeApp app("Safari", "quits", 65534);
  ASSERT_TRUE(app.ready());
  EXPECT_FALSE(listed(app.pid(), "Safari"));
  CountingTable table;
  EXPECT_FALSE(table.system.requestQuit({app.pid(), "Safari"}));
  EXPECT_TRUE(runQuitScript(kQuitSafari, table, 200ms).ok());
  EXPECT_EQ(table.requests, 0);
  EXPECT_TRUE(app.alive());
}

}  // namespace
}  // namespace tidymark
