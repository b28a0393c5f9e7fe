#include "Scripts/folders_first/browser_guard.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tidymark {
namespace {

using enum GuardResult;

// How the process table and the applications asked to quit behave.
enum Behaviour { Obliging, Stubborn, Unreadable, UnreadableOnceAsked };
struct Case {
  Behaviour behaviour;
  std::vector<LaunchedApplication> apps;
  GuardResult result;
  std::vector<int> asked;
};

struct FakeProcessTable : ProcessTable {
  explicit FakeProcessTable(const Case& c) : c(c) {}
  Status launchedApplications(std::vector<LaunchedApplication>* listed) override {
    if (c.behaviour == Unreadable || (c.behaviour == UnreadableOnceAsked && !asked.empty()))
      return Status::failure("no table");
    for (const LaunchedApplication& app : c.apps)
      if (c.behaviour == Stubborn || !std::ranges::count(asked, app.pid)) listed->push_back(app);
    return Status::success();
  }
  bool requestQuit(const LaunchedApplication& app) override {
    asked.push_back(app.pid);
    return true;
  }
  const Case& c;
  std::vector<int> asked;
};

// The guard asks every application named exactly "Safari" to quit, once, saying so, and
// answers whether it was running and is still; it cannot tell when the table cannot be read.
TEST(BrowserGuard, AsksExactlyTheBrowserToQuit) {
  const std::vector<LaunchedApplication>
      none = {{1, "safari"}, {2, "SAFARI"}, {3, "Safari Beta"}, {4, "Safari "}, {5, std::nullopt}},
      two = {{1, "Finder"}, {42, "Safari"}, {7, "safari"}, {43, "Safari"}},
      one = {{1, std::nullopt}, {42, "Safari"}};
  const Case cases[] = {
      {Obliging, none, NotRunning, {}},          {Obliging, two, Quit, {42, 43}},
      {Stubborn, one, StillRunning, {42}},       {Unreadable, one, Unknown, {}},
      {UnreadableOnceAsked, one, Unknown, {42}},
  };
  for (const Case& c : cases) {
    FakeProcessTable table(c);
    char printed[100] = {};
    std::FILE* out = fmemopen(printed, sizeof printed, "w");
    const GuardOutcome outcome = quitRunningBrowser(table, out, std::chrono::milliseconds(50));
    std::fclose(out);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.unknown.ok(), c.result != Unknown);
    EXPECT_EQ(table.asked, c.asked);
    EXPECT_STREQ(printed,
                 c.asked.empty() ? "" : "safari was running, so i'm quitting it temporarily\n");
  }
}

}  // namespace
}  // namespace tidymark
