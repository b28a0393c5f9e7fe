#include "Scripts/folders_first/browser_guard.h"

#include <string>

namespace tidymark {

Status appRunning(std::string_view name, ProcessTable& processes, bool* running) {
  return hasApplicationNamed(processes, name, running);
}

GuardOutcome quitRunningBrowser(ProcessTable& processes, std::FILE* out,
                                std::chrono::milliseconds wait) {
  bool running = false;
  if (Status status = appRunning(kBrowserName, processes, &running); !status.ok()) {
    return {GuardResult::Unknown, status};
  }
  if (!running) return {GuardResult::NotRunning};
  if (out) {
    std::fputs("safari was running, so i'm quitting it temporarily\n", out);
    std::fflush(out);
  }
  std::string script = "tell application \"" + std::string(kBrowserName) + "\" to quit";
  // Whatever the script reports, the second look at the process table decides.
  static_cast<void>(runQuitScript(script, processes, wait));
  if (Status status = appRunning(kBrowserName, processes, &running); !status.ok()) {
    return {GuardResult::Unknown, status};
  }
  return {running ? GuardResult::StillRunning : GuardResult::Quit};
}

}  // namespace tidymark
