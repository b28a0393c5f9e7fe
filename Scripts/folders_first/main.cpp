// tidymark: sorts the browser's bookmarks file in place, folders first, then by title.
//
//   tidymark [foldersFirst] [PATH]
//
// The whole run, in order: the arguments, the browser guard, the progress line, the sort.

#include <strings.h>

#include <cstdio>
#include <string>

#include "Scripts/folders_first/browser_guard.h"
#include "bookmarks/bookmark_node.h"
#include "bookmarks/folder_sort.h"
#include "platform/home_directory.h"
#include "platform/plist_file.h"
#include "platform/process_table.h"

namespace {

constexpr const char* kKeyword = "foldersFirst";
constexpr const char* kBookmarksInHome = "/Library/Safari/Bookmarks.plist";

// Says on standard error why the run could not do its job, after what is already on standard
// output.
void report(const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "tidymark: %s\n", what.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tidymark;

  // The keyword counts only as the first argument; the path is used exactly as given, byte for
  // byte, and any argument after the one used is ignored.
  const char* named = nullptr;
  if (argc > 1) {
    if (strcasecmp(argv[1], kKeyword) == 0) {
      std::puts("folders come first in sort order");
      foldersFirst = true;
      if (argc != 2) named = argv[2];
    } else {
      named = argv[1];
    }
  }
  std::string path;
  if (named) {
    path = named;
  } else {
    const std::string home = homeDirectory();
    if (home.empty()) {
      report("cannot find the home directory: HOME is not set and the user database has none");
      return 1;
    }
    path = appendPathComponent(home, kBookmarksInHome);
  }

  SystemProcessTable processes;
  if (quitRunningBrowser(processes, stdout) == GuardResult::StillRunning) {
    report(std::string(kBrowserName) + " is still running; " + path + " left unchanged");
    return 1;
  }

  std::printf("sorting bookmarks at %s ...", path.c_str());
  std::fflush(stdout);  // a person watching a large file sees this while they wait
  FilePlistStore store(kSortKeys);  // the sort reads nothing else
  // The tree is left for the end of the process to reclaim: releasing a large tree node by
  // node takes longer than sorting it.
  static PlistDocument* const document = new PlistDocument;
  const Status status = sort(path, store, *document);
  std::puts(status.ok() ? " done" : " failed");
  if (!status.ok()) {
    report(path + ": " + status.message());
    return 1;
  }
  return 0;
}
