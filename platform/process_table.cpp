#include "platform/process_table.h"

namespace tidymark {

Status hasApplicationNamed(ProcessTable& processes, std::string_view name, bool* listed) {
  *listed = false;
  std::vector<LaunchedApplication> apps;
  if (Status status = processes.launchedApplications(&apps); !status.ok()) return status;
  for (const LaunchedApplication& app : apps) {
    if (app.name && *app.name == name) *listed = true;
  }
  return Status::success();
}

}  // namespace tidymark
