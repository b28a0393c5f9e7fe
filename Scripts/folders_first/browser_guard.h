#pragma once

#include <chrono>
#include <cstdio>
#include <string_view>

#include "platform/process_table.h"
#include "platform/quit_request.h"

namespace tidymark {

// The browser whose bookmarks the tool sorts; it must not be running while the file is rewritten.
inline constexpr std::string_view kBrowserName = "Safari";

// Whether an application named exactly `name` (case-sensitive) is among `processes`.
bool appRunning(std::string_view name, ProcessTable& processes);

enum class GuardResult { NotRunning, Quit, StillRunning };

// Makes sure the browser is not running. When it is, tells the user on `out`, asks it to quit
// and waits up to `wait`; the result says whether it was running and whether it is still.
GuardResult quitRunningBrowser(ProcessTable& processes, std::FILE* out,
                               std::chrono::milliseconds wait = kQuitWait);

}  // namespace tidymark
