#include "Scripts/folders_first/browser_guard.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace tidymark {
namespace {

using namespace std::chrono_literals;

constexpr char kNotice[] = "safari was running, so i'm quitting it temporarily\n";

// An in-memory process table. An asked application leaves at once, after some more looks at
// the table (slow), or never (stubborn).
class FakeProcessTable : public ProcessTable {
 public:
  explicit FakeProcessTable(std::vector<LaunchedApplication> apps) : apps(std::move(apps)) {}

  std::vector<LaunchedApplication> launchedApplications() override {
    ++looks;
    for (auto it = leaving.begin(); it != leaving.end();) {
      if (--it->second > 0) {
        ++it;
        continue;
      }
      remove(it->first);
      it = leaving.erase(it);
    }
    return apps;
  }

  bool requestQuit(const LaunchedApplication& app) override {
    requests.push_back(app.pid);
    if (stubborn.count(app.pid)) return true;
    if (auto slow = slowLooks.find(app.pid); slow != slowLooks.end()) {
      leaving[app.pid] = slow->second;
    } else {
      remove(app.pid);
    }
    return true;
  }

  std::vector<LaunchedApplication> apps;
  std::set<int> stubborn;
  std::map<int, int> slowLooks;  // pid -> looks until it is gone once asked
  std::vector<int> requests;
  int looks = 0;

 private:
  void remove(int pid) {
    std::erase_if(apps, [pid](const LaunchedApplication& app) { return app.pid == pid; });
  }
  std::map<int, int> leaving;
};

struct Guarded {
  GuardResult result;
  std::string printed;
};

Guarded guard(FakeProcessTable& table, std::chrono::milliseconds wait = kQuitWait) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  GuardResult result = quitRunningBrowser(table, out, wait);
  std::fclose(out);
  Guarded guarded{result, std::string(buffer, size)};
  std::free(buffer);
  return guarded;
}

TEST(AppRunning, MatchesTheExactNameOnly) {
  struct Case {
    std::vector<LaunchedApplication> apps;
    bool running;
  };
  const Case cases[] = {
      {{}, false},
      {{{1, "safari"}, {2, "SAFARI"}, {3, "Safari Beta"}, {4, "Safari "}, {5, " Safari"}}, false},
      {{{1, std::nullopt}, {2, ""}}, false},
      {{{1, std::nullopt}, {2, "Finder"}, {3, "Safari"}}, true},
      {{{3, "Safari"}, {4, "Safari"}}, true},
  };
  for (const Case& c : cases) {
    FakeProcessTable table(c.apps);
    EXPECT_EQ(appRunning("Safari", table), c.running) << c.apps.size() << " applications";
  }
}

TEST(BrowserGuard, DoesNothingWhenTheBrowserIsNotRunning) {
  FakeProcessTable table({{1, "Finder"}, {2, "safari"}, {3, "Safari Beta"}, {4, std::nullopt}});
  Guarded guarded = guard(table);
  EXPECT_EQ(guarded.result, GuardResult::NotRunning);
  EXPECT_EQ(guarded.printed, "");
  EXPECT_TRUE(table.requests.empty());
  EXPECT_EQ(table.looks, 1);
  EXPECT_EQ(table.apps.size(), 4u);
}

TEST(BrowserGuard, QuitsTheRunningBrowser) {
  FakeProcessTable table({{1, "Finder"}, {42, "Safari"}, {7, "safari"}, {8, "Safari Beta"}});
  Guarded guarded = guard(table);
  EXPECT_EQ(guarded.result, GuardResult::Quit);
  EXPECT_EQ(guarded.printed, kNotice);
  EXPECT_EQ(table.requests, std::vector<int>{42});
  EXPECT_EQ(table.apps.size(), 3u);
}

TEST(BrowserGuard, AsksEveryInstanceAndWaitsForSlowOnes) {
  FakeProcessTable table({{42, "Safari"}, {43, "Safari"}});
  table.slowLooks = {{42, 3}, {43, 5}};
  Guarded guarded = guard(table);
  EXPECT_EQ(guarded.result, GuardResult::Quit);
  EXPECT_EQ(guarded.printed, kNotice);
  EXPECT_EQ(table.requests, (std::vector<int>{42, 43}));
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

TEST(BrowserGuard, AnUnsupportedScriptSignalsNothing) {
  FakeProcessTable table({{42, "Safari"}});
  for (const char* script : {"tell application \"Safari\" to activate",
                             "tell application Safari to quit", "quit Safari"}) {
    EXPECT_FALSE(runQuitScript(script, table).ok()) << script;
  }
  EXPECT_TRUE(table.requests.empty());
  EXPECT_EQ(table.apps.size(), 1u);
}

}  // namespace
}  // namespace tidymark
