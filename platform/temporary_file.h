#pragma once

#include <string>

#include "platform/status.h"

namespace tidymark {

// The file a save writes before renaming it over the target: `.NAME.tidymark-XXXXXX` beside
// it. While it exists it is held under an exclusive lock (flock), so that another run can tell
// a live run's file from one left by a run that was killed. It is removed when destroyed unless
// it was renamed, and on SIGINT, SIGTERM or SIGHUP once installTemporaryFileCleanup has run.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates and locks it in `directory` ("" or ending in '/') for the file named `name`.
  Status create(const std::string& directory, const std::string& name);

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Closes the descriptor it was written through and reports the result (on some file systems
  // close is where a write fails). The lock is kept until it is renamed or removed.
  Status closeForWriting();
  // Renames it to `target`.
  Status renameTo(const std::string& target);
  // Removes it now. A failure is said (the file is then left behind).
  Status remove();

 private:
  void release();

  std::string path_;
  int fd_ = -1;
  int lock_ = -1;  // a second descriptor of the same open file, holding the lock
  bool linked_ = false;
};

// Removes the temporary files a killed run left beside the file `name` in `directory`: those
// whose lock can be taken, as no live run holds them. Anything else is left alone, and a file
// that cannot be removed stays without complaint (the next run tries again).
void removeLeftoverTemporaryFiles(const std::string& directory, const std::string& name);

// From now on, SIGINT, SIGTERM and SIGHUP remove the temporary file of a save in progress, then
// end the process as the signal asks. A signal the process ignores stays ignored.
void installTemporaryFileCleanup();

}  // namespace tidymark
