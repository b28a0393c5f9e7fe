#include "platform/home_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tidymark {

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

std::string appendPathComponent(std::string_view base, std::string_view component) {
  while (base.size() > 1 && base.back() == '/')
    base.remove_suffix(1);
  while (!component.empty() && component.front() == '/')
    component.remove_prefix(1);
  std::string joined(base);
  if (joined != "/") joined += '/';
  joined += component;
  return joined;
}

}  // namespace tidymark
