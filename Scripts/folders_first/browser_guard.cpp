#include "Scripts/folders_first/browser_guard.h"

#include <string>

namespace tidymark {

bool appRunning(std::string_view name, ProcessTable& processes) {
  return hasApplicationNamed(processes, name);
}

GuardResult quitRunningBrowser(ProcessTable& processes, std::FILE* out,
                               std::chrono::milliseconds wait) {
  if (!appRunning(kBrowserName, processes)) return GuardResult::NotRunning;
  if (out) {
    std::fputs("safari was running, so i'm quitting it temporarily\n", out);
    std::fflush(out);
  }
  std::string script = "tell application \"" + std::string(kBrowserName) + "\" to quit";
  // Whatever the script reports, the second look at the process table decides.
  static_cast<void>(runQuitScript(script, processes, wait));
  return appRunning(kBrowserName, processes) ? GuardResult::StillRunning : GuardResult::Quit;
}

}  // namespace tidymark
