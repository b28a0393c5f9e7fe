// tidymark: sorts the browser's bookmarks file in place, folders first, then by title.
//
//   tidymark [OPTION ...] [foldersFirst] [PATH ...]
//
// The whole run, in order: the arguments, a look at the first file, the browser guard, then for
// each file the progress line and the sort. A dry run or a check loads and sorts in memory only,
// and leaves the browser alone.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Scripts/folders_first/browser_guard.h"
#include "Scripts/folders_first/command_line.h"
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

// Why a write to standard output failed, kept from the moment it is known: by the end of the
// run a flush may find nothing left to write, and errno has moved on.
int outputError = 0;

void noteOutputError(int error) {
  if (outputError == 0) outputError = error;
}

// Flushes standard output; false, the reason kept, when it or a write before it failed.
bool flushOutput() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  if (errno != 0) noteOutputError(errno);
  return false;
}

// Writes what a sort did or would do to standard output, keeping the reason of a failed write.
void writeReport(const SortReport& sorted, bool done) {
  StreamSink out(stdout);
  errno = 0;
  if (!writeSortReport(sorted, done, out)) noteOutputError(errno);
}

// Says on standard error why the run could not do its job, after what is already on standard
// output. Paths and titles in it are shown printably.
void report(const std::string& what) {
  flushOutput();
  std::fprintf(stderr, "tidymark: %s\n", printable(what).c_str());
}

// Ends the progress line and reports a failure about the file.
void failed(const std::string& path, const Status& status) {
  std::puts(" failed");
  report(path + ": " + status.message());
}

void startProgress(const char* doing, const std::string& path) {
  std::printf("%s bookmarks at %s ...", doing, printable(path).c_str());
  flushOutput();  // a person watching a large file sees this while they wait
}

// Sorting a file whose top is no folder moves nothing; the user most likely named the wrong file.
void noteIfNotBookmarks(const std::string& path, const SortReport& sorted) {
  if (!sorted.topIsFolder) {
    report(path + ": does not look like a bookmarks file (its top is not a folder); nothing moved");
  }
}

// Shows what a sort of `path` would change, writing nothing and leaving the browser alone; the
// exit status it asks for: 0 nothing would change, 1 something would (for a check) or the file
// failed (for a dry run), 2 the file could not be checked (for a check).
int inspect(const std::string& path, const CommandLine& line) {
  const bool check = line.mode == CommandLine::Mode::Check;
  startProgress("checking", path);
  FilePlistStore store;
  PlistDocument document;
  SortReport sorted;
  if (Status status = loadSorted(path, store, document, line.keep, &sorted, true); !status.ok()) {
    failed(path, status);
    return check ? 2 : 1;
  }
  std::puts(" done");
  noteIfNotBookmarks(path, sorted);
  writeReport(sorted, false);
  return check && !sorted.changed.empty() ? 1 : 0;
}

// What the sort of the files has done so far.
struct Sorted {
  int status = 0;
  std::size_t replaced = 0;  // files written
};

// Sorts each of `paths` in turn, once the browser has gone.
Sorted sortInPlace(const std::vector<std::string>& paths, const CommandLine& line) {
  Sorted done;
  bool guarded = false;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    // A mistyped path must not close the browser: the first file is looked at before the guard,
    // and loaded only once the browser has gone, since it writes the file as it quits.
    if (!guarded) {
      if (Status status = checkReadableFile(path); !status.ok()) {
        startProgress("sorting", path);
        failed(path, status);
        done.status = 1;
        continue;
      }
      SystemProcessTable processes;
      const GuardOutcome guard = quitRunningBrowser(processes, stdout);
      guarded = true;
      if (guard.result == GuardResult::Unknown || guard.result == GuardResult::StillRunning) {
        const std::string browser(kBrowserName);
        for (std::size_t j = i; j < paths.size(); ++j) {
          report(guard.result == GuardResult::Unknown
                     ? "cannot tell whether " + browser + " is running (" +
                           guard.unknown.message() + "); " + paths[j] + " left unchanged"
                     : browser + " is still running; " + paths[j] + " left unchanged: quit " +
                           browser + " and run tidymark again");
        }
        done.status = 1;
        return done;
      }
    }
    startProgress("sorting", path);
    FilePlistStore store;
    PlistDocument document;
    SortReport sorted;
    if (Status status = sort(path, store, document, line.keep, &sorted, line.verbose,
                             line.backup ? path + "~" : "");
        !status.ok()) {
      failed(path, status);
      done.status = 1;
      continue;
    }
    std::puts(" done");
    const bool written = !sorted.changed.empty();
    done.replaced += written;
    if (written && document.source.links > 1) {
      report(path + ": has other hard links, which keep the old content");
    }
    noteIfNotBookmarks(path, sorted);
    if (line.verbose) writeReport(sorted, true);
  }
  return done;
}

// Ends the run with `status`, or with `failure` (1, or 2 for a check, whose 1 would claim that a
// folder would change) when standard output could not be written (a full device, a closed
// pipe): that is said too, with its reason. The files' own outcome stands either way, and since
// status 1 otherwise means that nothing was changed, files that were replaced are mentioned.
int finish(int status, std::size_t replaced = 0, int failure = 1) {
  if (!flushOutput() || outputError != 0) {
    const int error = outputError != 0 ? outputError : EIO;  // a write failed, its reason unseen
    std::string message = "write error: " + std::string(std::strerror(error));
    if (replaced == 1) message += "; the file was sorted and replaced";
    if (replaced > 1)
      message += "; " + std::to_string(replaced) + " files were sorted and replaced";
    std::fprintf(stderr, "tidymark: %s\n", message.c_str());
    return std::max(status, failure);
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
      return finish(0);
    case CommandLine::Action::Version:
      std::puts(versionText().c_str());
      return finish(0);
    case CommandLine::Action::UsageError:
      report(line.error);
      return 2;
    case CommandLine::Action::Sort:
      break;
  }
  const bool check = line.mode == CommandLine::Mode::Check;
  if (line.keyword) {
    std::puts("folders come first in sort order");
    foldersFirst = true;
  }
  std::vector<std::string> paths = line.paths;  // used exactly as given, byte for byte
  if (paths.empty()) {
    const std::string home = homeDirectory();
    if (home.empty()) {
      report("cannot find the home directory: HOME is not set and the user database has none");
      return finish(check ? 2 : 1);
    }
    paths.push_back(appendPathComponent(home, kBookmarksInHome));
  }
  if (line.mode != CommandLine::Mode::Sort) {
    int status = 0;
    for (const std::string& path : paths)
      status = std::max(status, inspect(path, line));
    return finish(status, 0, check ? 2 : 1);
  }
  const Sorted sorted = sortInPlace(paths, line);
  return finish(sorted.status, sorted.replaced);
}
