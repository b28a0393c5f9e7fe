#include "Scripts/folders_first/browser_guard.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace tidymark {
namespace {

using namespace std::chrono_literals;

constexpr char kNotice[] = "safari was running, so i'm quitting it temporarily\n";

// An in-memory process table. An application asked to quit leaves at once, unless stubborn.
// From the look numbered `unreadableFrom` on (counting from 1), the table cannot be read.
class FakeProcessTable : public ProcessTable {
 public:
  explicit FakeProcessTable(std::vector<LaunchedApplication> apps) : apps(std::move(apps)) {}

  Status launchedApplications(std::vector<LaunchedApplication>* listed) override {
    ++looks;
    if (unreadableFrom > 0 && looks >= unreadableFrom) return Status::failure("no table");
    *listed = apps;
    return Status::success();
  }

  bool requestQuit(const LaunchedApplication& app) override {
    requests.push_back(app.pid);
    if (!stubborn.count(app.pid)) {
      std::erase_if(apps, [&](const LaunchedApplication& a) { return a.pid == app.pid; });
    }
    return true;
  }

  std::vector<LaunchedApplication> apps;
  std::set<int> stubborn;
  std::vector<int> requests;
  int looks = 0;
  int unreadableFrom = 0;
};

bool running(FakeProcessTable& table) {
  bool found = false;
  EXPECT_TRUE(appRunning("Safari", table, &found).ok());
  return found;
}

struct Guarded {
  GuardResult result;
  std::string printed;
};

Guarded guard(FakeProcessTable& table, std::chrono::milliseconds wait = kQuitWait) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  GuardOutcome outcome = quitRunningBrowser(table, out, wait);
  EXPECT_EQ(outcome.unknown.ok(), outcome.result != GuardResult::Unknown);
  std::fclose(out);
  Guarded guarded{outcome.result, std::string(buffer, size)};
  std::free(buffer);
  return guarded;
}

TEST(BrowserGuard, LooksOnceAndDoesNothingUnlessExactlyTheBrowserRuns) {
  const std::vector<LaunchedApplication> others = {
      {1, "safari"}, {2, "SAFARI"}, {3, "Safari Beta"}, {4, "Safari "}, {5, std::nullopt}, {6, ""}};
  FakeProcessTable table(others);
  EXPECT_FALSE(running(table));
  Guarded guarded = guard(table);
  EXPECT_EQ(guarded.result, GuardResult::NotRunning);
  EXPECT_EQ(guarded.printed, "");
  EXPECT_TRUE(table.requests.empty());
  EXPECT_EQ(table.looks, 2);  // appRunning's look and the guard's

  FakeProcessTable withBrowser({{1, std::nullopt}, {2, "Finder"}, {3, "Safari"}});
  EXPECT_TRUE(running(withBrowser));
}

TEST(BrowserGuard, AsksEveryInstanceToQuit) {
  FakeProcessTable table({{1, "Finder"}, {42, "Safari"}, {43, "Safari"}, {7, "safari"}});
  Guarded guarded = guard(table);
  EXPECT_EQ(guarded.result, GuardResult::Quit);
  EXPECT_EQ(guarded.printed, kNotice);
  EXPECT_EQ(table.requests, (std::vector<int>{42, 43}));
  EXPECT_EQ(table.apps.size(), 2u);
}

TEST(BrowserGuard, ReportsABrowserThatStays) {
  FakeProcessTable table({{42, "Safari"}});
  table.stubborn = {42};
  Guarded guarded = guard(table, 30ms);
  EXPECT_EQ(guarded.result, GuardResult::StillRunning);
  EXPECT_EQ(guarded.printed, kNotice);
  EXPECT_EQ(table.requests, std::vector<int>{42});  // asked once, not pestered
  EXPECT_GE(table.looks, 4);  // the guard's two looks, and the script polled in between
}

TEST(BrowserGuard, CannotTellWhenTheTableCannotBeRead) {
  // Unreadable from the first look: nothing is asked or said. Unreadable once the browser was
  // asked to quit: an empty answer must not be taken for a browser that has gone.
  for (int unreadableFrom : {1, 3}) {
    FakeProcessTable table({{42, "Safari"}});
    table.unreadableFrom = unreadableFrom;
    Guarded guarded = guard(table, 30ms);
    EXPECT_EQ(guarded.result, GuardResult::Unknown) << unreadableFrom;
    EXPECT_EQ(table.requests.empty(), unreadableFrom == 1);
  }
}

}  // namespace
}  // namespace tidymark
