#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/byte_sink.h"
#include "platform/file_system.h"
#include "platform/status.h"

namespace tidymark {

// What a path that is not a regular file leads to, said as the end of a sentence ("is a
// directory, not a file").
const char* kindOfNonFile(mode_t mode);

// The stamp of the open file `fd`.
Status stampOfOpenFile(int fd, FileStamp* stamp);

// Writes a file's new content to the sink it is given.
using ContentWriter = std::function<Status(ByteSink&)>;

// Replaces the file at `path` with what `write` writes, crash-safely: the content goes to a
// temporary file beside it (see TemporaryFile), gets the original's permission bits, owner,
// group and extended attributes, is flushed to disk and takes the original's place, and the
// directory is synced. When `path` is a symbolic link, the file it leads to is replaced and the
// link stays.
//
// `expected` is the stamp of the file the content was made from. The new file and the original
// are exchanged in one step (see exchangeFiles); what was taken away must then be that very file,
// unchanged, and the new file must still be at the path, unchanged, both right after the exchange
// and once more right before the original is removed. Otherwise another program has saved,
// moved or deleted the file meanwhile: the exchange is undone at once (unless that program's
// save came after it and is at the path) and the run fails, the other program's file left as it
// left it. Where the file system cannot exchange, the path is checked right before the new file
// is renamed over it, which leaves a moment in which a save can be lost. Without a known stamp
// (content not made from a file) whatever is at the path is replaced, or a file is created with
// the permissions the umask allows.
//
// With a `backup` path, the original is renamed to it (replacing what is there in one step)
// instead of being removed: the same file, with its bytes, owner, mode and attributes. At any
// moment `path` is the original or the new file, and `backup` what it was or the original.
//
// A file that its owner made read-only is not replaced, whoever runs this. On failure the
// original is left exactly as it was and no temporary file remains, except when the message
// says that the file was replaced (its directory could then not be synced) or where the original
// can be found.
Status replaceFile(const std::string& path, const FileStamp& expected, const ContentWriter& write,
                   const std::string& backup = {});

}  // namespace tidymark
