#include "Scripts/folders_first/browser_guard.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tidymark {
namespace {

using enum GuardResult;
using Apps = std::vector<LaunchedApplication>;

// A process table whose applications leave when asked to quit (or stay, when stubborn), and
// which may be unreadable from the start or once a quit was asked for.
enum Behaviour { Obliging, Stubborn, Unreadable, UnreadableOnceAsked };
struct FakeProcessTable : ProcessTable {
  FakeProcessTable(Behaviour b, Apps apps) : b(b), apps(apps) {}
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
  Apps apps;
  std::vector<int> asked;
};

// The guard asks every application named exactly "Safari" to quit, once, saying so, and
// answers whether it was running and is still; it cannot tell when the table cannot be read.
TEST(BrowserGuard, AsksExactlyTheBrowserToQuit) {
  // No application but the one named exactly "Safari" counts; pid 5 has no name.
  const Apps others = {{1, "safari"}, {2, "SAFARI"}, {3, "Safari Beta"}, {4, "Safari "}, {5, {}}};
  const Apps safaris = {{1, std::nullopt}, {42, "Safari"}, {7, "safari"}, {43, "Safari"}};
  const std::tuple<Behaviour, Apps, GuardResult, std::vector<int>> cases[] = {
      {Obliging, others, NotRunning, {}},
      {Obliging, safaris, Quit, {42, 43}},
      {Stubborn, safaris, StillRunning, {42, 43}},
      {Unreadable, safaris, Unknown, {}},
      {UnreadableOnceAsked, safaris, Unknown, {42, 43}}};
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
