#include "platform/process_table.h"

namespace tidymark {

Status ProcessTable::launchedApplicationsNamed(std::string_view name,
                                               std::vector<LaunchedApplication>* apps) {
  if (Status status = launchedApplications(apps); !status.ok()) return status;
  std::erase_if(*apps, [&](const LaunchedApplication& app) { return app.name != name; });
  return Status::success();
}

Status hasApplicationNamed(ProcessTable& processes, std::string_view name, bool* listed) {
  std::vector<LaunchedApplication> apps;
  Status status = processes.launchedApplicationsNamed(name, &apps);
  *listed = status.ok() && !apps.empty();
  return status;
}

}  // namespace tidymark
