#include "platform/quit_request.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "tests/fake_app.h"

namespace tidymark {
namespace {

using namespace std::chrono_literals;
using testing::FakeApp;
constexpr std::string_view kQuitSafari = "tell application \"Safari\" to quit";

// Whether the system's table lists `pid` as this user's running "Safari".
bool listed(int pid) {
  std::vector<LaunchedApplication> apps;
  EXPECT_TRUE(SystemProcessTable().launchedApplications(&apps).ok());
  return std::any_of(apps.begin(), apps.end(),
                     [&](const auto& app) { return app.pid == pid && app.name == "Safari"; });
}

class QuitScriptTest : public testing::FakeAppTest {};

// A quit request goes, as SIGTERM, only to a process (never a group) still running under exactly
// the name given; only the one script form runs, and it ends this user's application of exactly
// that name, returning once it has exited (a zombie is not listed), leaving the others alone.
TEST_F(QuitScriptTest, EndsTheApplicationOfThatNameOnly) {
  FakeApp safari("Safari"), lower("safari"), beta("Safari Beta");
  for (FakeApp* app : {&safari, &lower, &beta})
    ASSERT_TRUE(app->ready());
  SystemProcessTable table;
  const int pid = safari.pid();
  const LaunchedApplication refused[] = {
      {pid, "safari"}, {pid, "Safari Beta"}, {pid, std::nullopt}, {0, "Safari"}, {-pid, "Safari"}};
  for (const LaunchedApplication& request : refused)
    EXPECT_FALSE(table.requestQuit(request)) << request.pid << " " << request.name.value_or("");
  for (const char* script :
       {"tell application \"\" to quit", "tell application 'Safari\" to quit",
        "tell application \"Saf\"ari\" to quit", "tell application \"Safari\" to activate"}) {
    EXPECT_EQ(runQuitScript(script, table).message(), "unsupported script: " + std::string(script));
  }
  ASSERT_TRUE(safari.alive() && listed(safari.pid()));
  EXPECT_TRUE(runQuitScript(kQuitSafari, table).ok());
  EXPECT_FALSE(listed(safari.pid()));
  EXPECT_EQ(safari.reap(), SIGTERM);
  EXPECT_TRUE(lower.alive() && beta.alive());
  EXPECT_FALSE(table.requestQuit({pid, "Safari"}));  // gone
}

}  // namespace
}  // namespace tidymark
