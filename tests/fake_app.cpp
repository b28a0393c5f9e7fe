// A stand-in application for the process tests: fake_app NAME [quits|ignores|saves SRC DST]
// Renames its process to NAME, prints "ready" and waits for a signal. With "ignores" it survives
// SIGTERM. With "saves" it quits on SIGTERM the way a browser does: first it writes its own copy
// of the bookmarks (the bytes of SRC) over DST.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <fstream>
#include <string>

volatile sig_atomic_t terminated = 0;

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "quits";
  if (mode == "ignores") signal(SIGTERM, SIG_IGN);
  if (mode == "saves") signal(SIGTERM, [](int) { terminated = 1; });
  if (argc != (mode == "saves" ? 5 : 3) || prctl(PR_SET_NAME, argv[1], 0, 0, 0) != 0 ||
      write(STDOUT_FILENO, "ready\n", 6) != 6)
    return 2;
  while (!terminated)
    pause();
  std::ofstream out(argv[4], std::ios::binary);
  return out << std::ifstream(argv[3], std::ios::binary).rdbuf() && out.flush() ? 0 : 1;
}
