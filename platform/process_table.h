#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

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

  // This user's running processes (same real user id), each named by its process name, in
  // *apps. Fails only when the table cannot be read at all, so nothing can be said about what
  // runs; a process that ends while the table is read is simply left out.
  virtual Status launchedApplications(std::vector<LaunchedApplication>* apps) = 0;

  // Those of launchedApplications named exactly `name`, in *apps. This one filters the whole
  // list; a table that can rule processes out by a cheaper look does so.
  virtual Status launchedApplicationsNamed(std::string_view name,
                                           std::vector<LaunchedApplication>* apps);

  // Asks `app` to terminate (SIGTERM), provided it is still this user's process of that name.
  // Returns false when it was not asked (gone, renamed, another user's, or not permitted).
  virtual bool requestQuit(const LaunchedApplication& app) = 0;
};

// Whether `processes` lists an application named exactly `name` (case matters), in *listed.
Status hasApplicationNamed(ProcessTable& processes, std::string_view name, bool* listed);

// The system's process table (on Linux, read from /proc: process_table_linux.cpp).
class SystemProcessTable final : public ProcessTable {
 public:
  Status launchedApplications(std::vector<LaunchedApplication>* apps) override;
  Status launchedApplicationsNamed(std::string_view name,
                                   std::vector<LaunchedApplication>* apps) override;
  bool requestQuit(const LaunchedApplication& app) override;
};

}  // namespace tidymark
