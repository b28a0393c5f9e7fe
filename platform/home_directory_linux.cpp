// The home directory as Linux programs find it: $HOME, else the user database.

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/home_directory.h"

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

}  // namespace tidymark
