// A stand-in application for the process tests: fake_app <name> [quits|ignores]
// Renames its process to <name>, prints "ready" and waits for a signal. With "ignores" it
// survives SIGTERM.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return 2;
  if (argc == 3 && std::strcmp(argv[2], "ignores") == 0) {
    signal(SIGTERM, SIG_IGN);
  } else if (argc == 3 && std::strcmp(argv[2], "quits") != 0) {
    return 2;
  }
  if (prctl(PR_SET_NAME, argv[1], 0, 0, 0) != 0) return 1;
  if (write(STDOUT_FILENO, "ready\n", 6) != 6) return 1;
  for (;;)
    pause();
}
