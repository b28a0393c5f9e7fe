#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidymark {

// One running application as the tool sees it: a process and its name.
struct LaunchedApplication {
  int pid = 0;
  std::optional<std::string> name;  // absent when the system gives none
};

// The running processes of the user running the tool, and the one thing the tool ever does to
// one of them. The browser guard talks to this interface only, so its logic is tested with a
// fake; SystemProcessTable is the real one.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // This user's running processes (same real user id), each named by its process name.
  virtual std::vector<LaunchedApplication> launchedApplications() = 0;

  // Asks `app` to terminate (SIGTERM), provided it is still this user's process of that name.
  // Returns false when it was not asked (gone, renamed, another user's, or not permitted).
  virtual bool requestQuit(const LaunchedApplication& app) = 0;
};

// Whether `processes` lists an application named exactly `name` (case matters).
bool hasApplicationNamed(ProcessTable& processes, std::string_view name);

// The system's process table, read from /proc.
class SystemProcessTable final : public ProcessTable {
 public:
  std::vector<LaunchedApplication> launchedApplications() override;
  bool requestQuit(const LaunchedApplication& app) override;
};

}  // namespace tidymark
