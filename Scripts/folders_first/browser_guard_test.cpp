#include "Scripts/folders_first/browser_guard.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tidymark {
namespace {

using namespace std::chrono;

enum Unreadable { Never, Always, OnceAsked };  // when the process table cannot be read
struct Case {
  std::vector<LaunchedApplication> apps;
  milliseconds quitDelay;  // how long an application asked to quit takes to leave
  Unreadable unreadable;
  GuardResult result;
  std::vector<int> asked;
};

struct FakeProcessTable : ProcessTable {
  explicit FakeProcessTable(const Case& c) : c(c) {}
  Status launchedApplications(std::vector<LaunchedApplication>* listed) override {
    if (c.unreadable == Always || (c.unreadable == OnceAsked && !asked.empty()))
      return Status::failure("no table");
    *listed = c.apps;
    if (steady_clock::now() >= askedAt + c.quitDelay)
      std::erase_if(*listed, [&](const auto& app) { return std::ranges::count(asked, app.pid); });
    return Status::success();
  }
  bool requestQuit(const LaunchedApplication& app) override {
    asked.push_back(app.pid);
    askedAt = steady_clock::now();
    return true;
  }
  const Case& c;
  std::vector<int> asked;
  steady_clock::time_point askedAt;
};

// The guard asks every application named exactly "Safari" to quit, saying so once, waits for
// them up to its limit, and cannot tell when the process table cannot be read.
TEST(BrowserGuard, AsksExactlyTheBrowserToQuitAndWaitsForIt) {
  const std::vector<LaunchedApplication> one = {{1, std::nullopt}, {42, "Safari"}};
  const Case cases[] = {
      {{{1, "safari"}, {2, "SAFARI"}, {3, "Safari Beta"}, {4, "Safari "}, {5, std::nullopt}},
       0ms,
       Never,
       GuardResult::NotRunning,
       {}},
      {{{1, "Finder"}, {42, "Safari"}, {7, "safari"}, {43, "Safari"}},
       0ms,
       Never,
       GuardResult::Quit,
       {42, 43}},
      {one, 100ms, Never, GuardResult::Quit, {42}},
      {one, 1h, Never, GuardResult::StillRunning, {42}},
      {one, 0ms, Always, GuardResult::Unknown, {}},
      {one, 0ms, OnceAsked, GuardResult::Unknown, {42}},
  };
  for (const Case& c : cases) {
    FakeProcessTable table(c);
    char printed[100] = {};
    std::FILE* out = fmemopen(printed, sizeof printed, "w");
    const GuardOutcome outcome = quitRunningBrowser(table, out, 1s);
    std::fclose(out);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.unknown.ok(), c.result != GuardResult::Unknown);
    EXPECT_EQ(table.asked, c.asked);
    EXPECT_STREQ(printed,
                 c.asked.empty() ? "" : "safari was running, so i'm quitting it temporarily\n");
  }
}

}  // namespace
}  // namespace tidymark
