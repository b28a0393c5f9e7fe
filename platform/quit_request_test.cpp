#include "platform/quit_request.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/fake_app.h"

namespace tidymark {
namespace {

using namespace std::chrono_literals;
const std::string kQuit = "tell application \"Safari\" to quit";

class QuitScriptTest : public testing::FakeAppTest {};

// Only the one script form runs. It asks this user's processes named exactly so, and only those
// still running under that name, to quit; it returns once they are gone, or after the wait for
// one that stays. Another user's application is neither asked nor waited for.
TEST_F(QuitScriptTest, EndsThisUsersApplicationOfThatNameOnly) {
  testing::FakeApp safari("Safari"), stays("Safari", "ignores"), beta("Safari Beta");
  ASSERT_TRUE(safari.ready() && stays.ready() && beta.ready());
  SystemProcessTable table;
  for (const std::string script :
       {"tell application \"\" to quit", "tell application 'Safari\" to quit"})
    EXPECT_EQ(runQuitScript(script, table).message(), "unsupported script: " + script);
  EXPECT_FALSE(table.requestQuit({beta.pid(), "Safari"}) || table.requestQuit({0, "Safari"}) ||
               table.requestQuit({-stays.pid(), "Safari"}));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(runQuitScript(kQuit, table, 300ms).ok());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_TRUE(!safari.alive() && stays.alive() && beta.alive());
  EXPECT_TRUE(table.requestQuit({stays.pid(), "Safari"}) &&
              !table.requestQuit({safari.pid(), "Safari"}));  // this one is gone
  // A backslash in a name is escaped in the process table: the name to quit is written so too.
  testing::FakeApp escaped("Saf\\ari");
  ASSERT_TRUE(escaped.ready());
  EXPECT_TRUE(runQuitScript("tell application \"Saf\\\\ari\" to quit", table, 300ms).ok());
  EXPECT_FALSE(escaped.alive());
  if (::geteuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
  testing::FakeApp other("Safari", "quits", 65534);
  EXPECT_TRUE(other.ready() && !table.requestQuit({other.pid(), "Safari"}));
  EXPECT_TRUE(runQuitScript(kQuit, table, 100ms).ok() && other.alive());
}

}  // namespace
}  // namespace tidymark
