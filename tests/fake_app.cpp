// A stand-in application for the process tests: fake_app <name> [quits|ignores|saves SRC DST]
// Renames its process to <name>, prints "ready" and waits for a signal. With "ignores" it
// survives SIGTERM. With "saves" it quits on SIGTERM the way a browser does: first it writes its
// own copy of the bookmarks (the bytes of SRC) over DST.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstring>

namespace {

volatile sig_atomic_t terminated = 0;

void onTerminate(int) {
  terminated = 1;
}

bool copyFile(const char* from, const char* to) {
  const int in = open(from, O_RDONLY);
  const int out = open(to, O_WRONLY | O_TRUNC);
  char buffer[65536];
  ssize_t n = 0;
  while (in >= 0 && out >= 0 && (n = read(in, buffer, sizeof buffer)) > 0) {
    if (write(out, buffer, static_cast<size_t>(n)) != n) return false;
  }
  return in >= 0 && out >= 0 && n == 0 && close(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool saves = argc == 5 && std::strcmp(argv[2], "saves") == 0;
  if (argc == 3 && std::strcmp(argv[2], "ignores") == 0) {
    signal(SIGTERM, SIG_IGN);
  } else if (saves) {
    signal(SIGTERM, onTerminate);
  } else if (argc != 2 && !(argc == 3 && std::strcmp(argv[2], "quits") == 0)) {
    return 2;
  }
  if (prctl(PR_SET_NAME, argv[1], 0, 0, 0) != 0) return 1;
  if (write(STDOUT_FILENO, "ready\n", 6) != 6) return 1;
  while (!terminated)
    pause();
  return copyFile(argv[3], argv[4]) ? 0 : 1;
}
