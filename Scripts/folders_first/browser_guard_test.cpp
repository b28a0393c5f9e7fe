#include "Scripts/folders_first/browser_guard.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tidymark {
namespace {

using enum GuardResult;

// A process table whose applications leave when asked to quit (or stay, when stubborn), and
// which may be unreadable from the start or once a quit was asked for.
enum Behaviour { Obliging, Stubborn, Unreadable, UnreadableOnceAsked };
struct FakeProcessTable : ProcessTable {
  FakeProcessTable(Behaviour b, std::vector<LaunchedApplication> apps) : b(b), apps(apps) {}
  Status launchedApplications(std::vector<LaunchedApplication>* listed) override {
    if (b == Unreadable || (b == UnreadableOnceAsked && !asked.empty()))
      return Status::failure("no table");
    for (const LaunchedApplication& app : apps)
      if (b == Stubborn || !std::ranges::count(asked, app.pid)) listed->push_back(app);
    return Status::success();
  }
  bool requestQuit(const LaunchedApplication& app) override {
    asked.push_back(app.pid);
    return true;
  }
  Behaviour b;
  std::vector<LaunchedApplication> apps;
  std::vector<int> asked;
};

// The guard asks every application named exactly "Safari" to quit, once, saying so, and
// answers whether it was running and is still; it cannot tell when the table cannot be read.
TEST(BrowserGuard, AsksExactlyTheBrowserToQuit) {
  const std::vector<LaunchedApplication>
      none = {{1, "safari"}, {2, "SAFARI"}, {3, "Safari Beta"}, {4, "Safari "}, {5, std::nullopt}},
      two = {{1, "Finder"}, {42, "Safari"}, {7, "safari"}, {43, "Safari"}},
      one = {{1, std::nullopt}, {42, "Safari"}};
  const std::tuple<Behaviour, std::vector<LaunchedApplication>, GuardResult, std::vector<int>>
      cases[] = {{Obliging, none, NotRunning, {}},
                 {Obliging, two, Quit, {42, 43}},
                 {Stubborn, one, StillRunning, {42}},
                 {Unreadable, one, Unknown, {}},
                 {UnreadableOnceAsked, one, Unknown, {42}}};
  for (const auto& [behaviour, apps, result, asked] : cases) {
    FakeProcessTable table(behaviour, apps);
    char printed[100] = {};
    std::FILE* out = fmemopen(printed, sizeof printed, "w");
    const GuardOutcome outcome = quitRunningBrowser(table, out, std::chrono::milliseconds(50));
    std::fclose(out);
    EXPECT_EQ(outcome.result, result);
    EXPECT_EQ(outcome.unknown.ok(), result != Unknown);
    EXPECT_EQ(table.asked, asked);
    EXPECT_STREQ(printed,
                 asked.empty() ? "" : "safari was running, so i'm quitting it temporarily\n");
  }
}

}  // namespace
}  // namespace tidymark
