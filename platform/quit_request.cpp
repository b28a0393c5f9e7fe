#include "platform/quit_request.h"

#include <algorithm>
#include <optional>
#include <string>
#include <thread>

namespace tidymark {

namespace {

constexpr std::chrono::milliseconds kPollInterval{20};

// The application name in `tell application "<name>" to quit`; nothing for any other text.
std::optional<std::string_view> quitTarget(std::string_view source) {
  constexpr std::string_view prefix = "tell application \"";
  constexpr std::string_view suffix = "\" to quit";
  if (source.size() <= prefix.size() + suffix.size() || !source.starts_with(prefix) ||
      !source.ends_with(suffix)) {
    return std::nullopt;
  }
  std::string_view name =
      source.substr(prefix.size(), source.size() - prefix.size() - suffix.size());
  if (name.find('"') != std::string_view::npos) return std::nullopt;
  return name;
}

}  // namespace

Status runQuitScript(std::string_view source, ProcessTable& processes,
                     std::chrono::milliseconds wait) {
  std::optional<std::string_view> name = quitTarget(source);
  if (!name) return Status::failure("unsupported script: " + std::string(source));

  std::vector<LaunchedApplication> apps;
  if (Status status = processes.launchedApplicationsNamed(*name, &apps); !status.ok()) {
    return status;
  }
  for (const LaunchedApplication& app : apps)
    processes.requestQuit(app);
  if (apps.empty()) return Status::success();

  auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    bool running = false;
    if (Status status = hasApplicationNamed(processes, *name, &running); !status.ok()) {
      return status;
    }
    if (!running) break;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now));
  }
  return Status::success();
}

}  // namespace tidymark
