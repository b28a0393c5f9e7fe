// tidymark: sorts the browser's bookmarks file in place, folders first, then by title.
//
//   tidymark [OPTION ...] [foldersFirst] [PATH]
//
// The whole run, in order: the arguments, a look at the file, the browser guard, the progress
// line, the sort. A dry run loads and sorts in memory only, and leaves the browser alone.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Scripts/folders_first/browser_guard.h"
#include "Scripts/folders_first/command_line.h"
#include "bookmarks/bookmark_node.h"
#include "bookmarks/folder_sort.h"
#include "bookmarks/outline.h"
#include "platform/home_directory.h"
#include "platform/plist_file.h"
#include "platform/process_table.h"
#include "platform/temporary_file.h"
#include "platform/utf8.h"

namespace {

using namespace tidymark;

constexpr const char* kBookmarksInHome = "/Library/Safari/Bookmarks.plist";

// Says on standard error why the run could not do its job, after what is already on standard
// output. Paths and titles in it are shown printably.
void report(const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "tidymark: %s\n", printable(what).c_str());
}

// Ends the progress line and reports a failure about the file; the exit status to return.
int failed(const std::string& path, const Status& status) {
  std::puts(" failed");
  report(path + ": " + status.message());
  return 1;
}

void startProgress(const char* doing, const std::string& path) {
  std::printf("%s bookmarks at %s ...", doing, printable(path).c_str());
  std::fflush(stdout);  // a person watching a large file sees this while they wait
}

// Shows what a sort would change, writing nothing and leaving the browser alone.
int dryRun(const std::string& path) {
  startProgress("checking", path);
  FilePlistStore store;
  PlistDocument document;
  std::vector<FolderChange> changes;
  if (Status status = loadSorted(path, store, document, &changes, true); !status.ok()) {
    return failed(path, status);
  }
  std::puts(" done");
  StreamSink out(stdout);
  return writeSortChanges(changes, out) ? 0 : 1;
}

int sortInPlace(const std::string& path) {
  // A mistyped path must not close the browser: look at the file before the guard, and load it
  // only once the browser has gone, since it writes the file as it quits.
  if (Status status = checkReadableFile(path); !status.ok()) {
    startProgress("sorting", path);
    return failed(path, status);
  }
  SystemProcessTable processes;
  const GuardOutcome guard = quitRunningBrowser(processes, stdout);
  if (guard.result == GuardResult::Unknown) {
    report("cannot tell whether " + std::string(kBrowserName) + " is running (" +
           guard.unknown.message() + "); " + path + " left unchanged");
    return 1;
  }
  if (guard.result == GuardResult::StillRunning) {
    report(std::string(kBrowserName) + " is still running; " + path + " left unchanged");
    return 1;
  }
  startProgress("sorting", path);
  FilePlistStore store;
  PlistDocument document;
  if (Status status = sort(path, store, document); !status.ok()) return failed(path, status);
  std::puts(" done");
  return 0;
}

// Ends the run with `status`, or with 1 when standard output could not be written (a full
// device, a closed pipe): that is said too. The file's own outcome stands either way, and
// since status 1 otherwise means that nothing was changed, a sorted file is mentioned.
int finish(int status, bool sorted) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int error = errno;
    std::fprintf(stderr, "tidymark: write error%s%s%s\n", error ? ": " : "",
                 error ? std::strerror(error) : "",
                 sorted ? "; the file was sorted and replaced" : "");
    return 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of the output that goes away must not end the run halfway: the sort finishes or
  // fails on its own merits, and the write error is said at the end.
  std::signal(SIGPIPE, SIG_IGN);
  installTemporaryFileCleanup();

  const CommandLine line = parseCommandLine(std::vector<std::string_view>(argv + 1, argv + argc));
  switch (line.action) {
    case CommandLine::Action::Help:
      std::fwrite(usageText().data(), 1, usageText().size(), stdout);
      return finish(0, false);
    case CommandLine::Action::Version:
      std::puts(versionText().c_str());
      return finish(0, false);
    case CommandLine::Action::UsageError:
      report(line.error);
      return 2;
    case CommandLine::Action::Sort:
      break;
  }
  if (line.keyword) {
    std::puts("folders come first in sort order");
    foldersFirst = true;
  }
  std::string path;
  if (line.path) {
    path = *line.path;  // used exactly as given, byte for byte
  } else {
    const std::string home = homeDirectory();
    if (home.empty()) {
      report("cannot find the home directory: HOME is not set and the user database has none");
      return finish(1, false);
    }
    path = appendPathComponent(home, kBookmarksInHome);
  }
  if (line.dryRun) return finish(dryRun(path), false);
  const int status = sortInPlace(path);
  return finish(status, status == 0);
}
