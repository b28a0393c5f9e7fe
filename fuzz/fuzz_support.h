#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/status.h"

namespace tidymark::fuzzing {

// Stops the run with `what` and the reason when a promise is broken; libFuzzer keeps the input.
[[noreturn]] inline void broken(const char* what, const std::string& reason = {}) {
  std::fprintf(stderr, "broken promise: %s%s%s\n", what, reason.empty() ? "" : ": ",
               reason.c_str());
  std::abort();
}

// Stops the run when `status` is a failure the caller does not accept.
inline void mustSucceed(const Status& status, const char* what) {
  if (!status.ok()) broken(what, status.message());
}

}  // namespace tidymark::fuzzing
