// The home directory as Linux programs find it: $HOME, else the user database.

#include <nss.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/home_directory.h"

namespace tidymark {

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
#ifdef TIDYMARK_LINKED_WHOLE
  // A program linked whole cannot load the C library's name-service modules (the systemd one
  // crashes it on a user it does not know): only the files that the C library reads itself
  // are asked.
  __nss_configure_lookup("passwd", "files");
#endif
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
