#pragma once

#include <chrono>
#include <string_view>

#include "platform/process_table.h"
#include "platform/status.h"

namespace tidymark {

// How long a quit request waits for the application to exit.
inline constexpr std::chrono::milliseconds kQuitWait{10000};

// Runs a quit script. Exactly one form is understood: tell application "<name>" to quit
// It asks each of this user's processes named <name> to terminate, then waits until none is
// left or `wait` is over, and returns either way. A script of any other form fails, and so
// does one during which the process table cannot be read.
Status runQuitScript(std::string_view source, ProcessTable& processes,
                     std::chrono::milliseconds wait = kQuitWait);

}  // namespace tidymark
