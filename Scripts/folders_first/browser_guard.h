#pragma once

#include <chrono>
#include <cstdio>
#include <string_view>

#include "platform/process_table.h"
#include "platform/quit_request.h"
#include "platform/status.h"

namespace tidymark {

// The browser whose bookmarks the tool sorts; it must not be running while the file is rewritten.
inline constexpr std::string_view kBrowserName = "Safari";

// Whether an application named exactly `name` (case-sensitive) is among `processes`, in
// *running; fails when the process table cannot be read.
Status appRunning(std::string_view name, ProcessTable& processes, bool* running);

// Unknown: the process table could not be read, so whether the browser runs cannot be told.
enum class GuardResult { NotRunning, Quit, StillRunning, Unknown };

struct GuardOutcome {
  GuardResult result;
  Status unknown = Status::success();  // why, when the result is Unknown
};

// Makes sure the browser is not running. When it is, tells the user on `out`, asks it to quit
// and waits up to `wait`; the result says whether it was running and whether it is still.
GuardOutcome quitRunningBrowser(ProcessTable& processes, std::FILE* out,
                                std::chrono::milliseconds wait = kQuitWait);

}  // namespace tidymark
