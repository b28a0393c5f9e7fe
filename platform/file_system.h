#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/status.h"

// What the crash-safe save needs from the file system that is done differently from one system
// to another. file_system_linux.cpp is the Linux version.

namespace tidymark {

// What identifies a file as it was at a moment: which file it is (device and inode), and its
// size and times, which change whenever it is written or its attributes are. A default stamp
// identifies no file.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;  // last change of the content
  std::int64_t changedNs = 0;   // last change of the content or of the attributes
  std::uint64_t links = 0;      // how many names it has (hard links)
  bool known = false;

  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file `info` describes.
FileStamp stampOf(const struct stat& info);

// Gives the open file `to` every extended attribute of the open file `from` (with them, on
// Linux, its POSIX access control lists). An attribute `to` already holds with the same value is
// left alone, so a label the system gives every new file need not be settable. A file system
// without extended attributes has nothing to copy.
Status copyExtendedAttributes(int from, int to);

// Waits until the open file or directory `fd` is on the disk itself, past any cache of the
// drive's own where the system can ask that. 0, or -1 with errno set, as fsync.
int flushToDisk(int fd);

// Asks the system to start writing `length` bytes of the open file `fd` from `offset` to the
// disk now, without waiting for it: the flush that follows has that much less to wait for. A
// hint only, which a system without such a request ignores.
void startWriting(int fd, std::uint64_t offset, std::uint64_t length);

// What came of an attempt to exchange two files.
enum class Exchange { Done, Unsupported, Failed };

// Exchanges the files at `a` and `b`, both of which exist, in one atomic step: each name then
// leads to the file the other led to, and at no moment does either lead to nothing. Unsupported
// where the file system cannot; Failed, with errno saying why, for any other reason.
Exchange exchangeFiles(const std::string& a, const std::string& b);

// This tool's temporary files carry a mark no other program sets, so that a file a killed run
// left can be told from a user's file named like it. markAsTemporary is false where the file
// system keeps no such mark: a file there is never taken for one of ours.
bool markAsTemporary(int fd);
bool isMarkedAsTemporary(int fd);
// Takes the mark off the open file `fd`, which is about to take the user's file's place. Fails
// only where a mark that is there cannot be taken off.
Status unmarkAsTemporary(int fd);

}  // namespace tidymark
