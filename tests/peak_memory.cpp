// tidymark-peak-memory: runs a program and reports its peak resident memory.
//
//   tidymark-peak-memory OUT PROGRAM [ARG ...]
//
// Starts PROGRAM with the standard streams and environment it was given, waits for it, writes
// its peak resident memory in kB (ru_maxrss) to the file OUT and exits as PROGRAM did (128 plus
// the signal number when a signal ended it). Tests start a program through this small process
// because one started straight from a large test process is charged the test's memory as well:
// the kernel counts the memory a child shared with its parent until it called exec.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: tidymark-peak-memory OUT PROGRAM [ARG ...]\n", stderr);
    return 2;
  }
  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[2], nullptr, nullptr, argv + 2, environ);
  if (rc != 0) {
    std::fprintf(stderr, "tidymark-peak-memory: cannot start %s: %s\n", argv[2], std::strerror(rc));
    return 127;
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 127;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out || std::fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || std::fclose(out) != 0) return 127;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
