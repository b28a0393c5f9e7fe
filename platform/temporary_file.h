#pragma once

#include <signal.h>

#include <string>

#include "platform/file_system.h"
#include "platform/status.h"

namespace tidymark {

// The file a save writes before it takes the target's place: `.NAME.tidymark-XXXXXX` beside
// it, marked as this tool's (see markAsTemporary). While it exists it is held under an exclusive
// lock (flock), so that another run can tell a live run's file from one left by a run that was
// killed. It is removed when destroyed unless it took the target's place, and on a terminating
// signal once installTemporaryFileCleanup has run.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates, marks and locks it in `directory` ("" or ending in '/') for the file named `name`.
  Status create(const std::string& directory, const std::string& name);

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Closes the descriptor it was written through and reports the result (on some file systems
  // close is where a write fails). The lock is kept until it is renamed or removed.
  Status closeForWriting();
  // Takes the temporary mark off, right before it takes the target's place.
  Status unmark();
  // The stamp of the file this made, wherever it is now.
  Status stamp(FileStamp* stamp) const;
  // Whether path() leads to the file this made (false when it cannot be told).
  bool atItsPath() const;

  // Renames it to `target`.
  Status renameTo(const std::string& target);
  // Exchanges it with the file at `target` (see exchangeFiles). Once done, path() leads to what
  // was at `target`, which this no longer removes, on destruction or on a signal.
  Exchange exchangeWith(const std::string& target);
  // Exchanges path() and `target` again. When path() then leads to the file this made, it is
  // this one's to remove again.
  Status exchangeBack(const std::string& target);
  // Removes it now. A failure is said (the file is then left behind).
  Status remove();

 private:
  void release();
  void own();
  void disown();

  std::string path_;
  int fd_ = -1;
  int lock_ = -1;        // a second descriptor of the same open file, holding the lock
  bool linked_ = false;  // path_ leads to the file this made
};

// While one exists, the signals that installTemporaryFileCleanup handles wait: for steps after
// which a temporary name may lead to a file that is not ours to remove.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Removes the temporary files a killed run left beside the file `name` in `directory`: those
// provably this tool's (the name, the mark, this user's or the file's owner's) and no live run's
// (their lock can be taken). Anything else is left alone, and a file that cannot be removed stays
// without complaint (the next run tries again). Where the file system keeps no mark nothing is
// removed.
void removeLeftoverTemporaryFiles(const std::string& directory, const std::string& name);

// From now on, every signal that would end the process and can be caught (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, the real-time signals, ...) removes the temporary file of a
// save in progress, then ends the process as the signal asks; a signal the process ignores stays
// ignored. SIGXFSZ is ignored, so that a file larger than the limit makes a write fail instead.
void installTemporaryFileCleanup();

}  // namespace tidymark
