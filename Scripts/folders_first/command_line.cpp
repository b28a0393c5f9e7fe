#include "Scripts/folders_first/command_line.h"

#include <strings.h>

#include <string>

namespace tidymark {

namespace {

constexpr std::string_view kKeyword = "foldersFirst";
constexpr std::string_view kSeeHelp = " (see tidymark --help)";

bool isKeyword(std::string_view arg) {
  return arg.size() == kKeyword.size() &&
         strncasecmp(arg.data(), kKeyword.data(), kKeyword.size()) == 0;
}

bool isOption(std::string_view arg) {
  return arg.starts_with('-') && arg != "-";
}

CommandLine usageError(std::string message) {
  CommandLine line;
  line.action = CommandLine::Action::UsageError;
  line.error = std::move(message) + std::string(kSeeHelp);
  return line;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string_view>& args) {
  CommandLine line;
  bool help = false, version = false, sortReadingList = false, emptyPath = false;
  bool ended = false;  // by "--"
  std::size_t operands = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!ended && isOption(arg)) {
      if (arg == "--") {
        ended = true;
      } else if (arg == "-h" || arg == "--help") {
        help = true;
      } else if (arg == "--version") {
        version = true;
      } else if (arg == "-n" || arg == "--dry-run") {
        if (line.mode != CommandLine::Mode::Check) line.mode = CommandLine::Mode::DryRun;
      } else if (arg == "--check") {
        line.mode = CommandLine::Mode::Check;
      } else if (arg == "-v" || arg == "--verbose") {
        line.verbose = true;
      } else if (arg == "-b" || arg == "--backup") {
        line.backup = true;
      } else if (arg == "--sort-reading-list") {
        sortReadingList = true;
      } else if (arg.starts_with("--keep=")) {
        line.keep.emplace_back(arg.substr(7));
      } else if (arg == "--keep") {
        if (++i == args.size()) return usageError("option '--keep' needs a folder title");
        line.keep.emplace_back(args[i]);
      } else {
        return usageError("unknown option '" + std::string(arg) + "'");
      }
      continue;
    }
    const std::size_t operand = operands++;
    if (operand == 0 && isKeyword(arg)) {
      line.keyword = true;
      continue;
    }
    // The bare keyword after a path was always ignored; scripts may still pass it there.
    if (operand > (line.keyword ? 1u : 0u) && isKeyword(arg)) continue;
    emptyPath = emptyPath || arg.empty();
    line.paths.emplace_back(arg);
  }
  if (help || version) {
    line.action = help ? CommandLine::Action::Help : CommandLine::Action::Version;
  } else if (emptyPath) {
    return usageError("an empty path names no file");
  }
  if (!sortReadingList) line.keep.emplace_back(kReadingListTitle);
  return line;
}

std::string_view usageText() {
  return R"(usage: tidymark [OPTION ...] [foldersFirst] [PATH ...]

Sorts a browser's bookmarks file in place: in every folder, folders first, then
by title, case-insensitively, with runs of digits compared by value. If the
browser is running, it is asked to quit first.

  foldersFirst   in any letter case, as the first argument that is not an
                 option: says that folders come first (they always do)
  PATH           a bookmarks file, used as written; several are sorted in
                 turn; without one, $HOME/Library/Safari/Bookmarks.plist

Options:
  -b, --backup         keep the file as it was before the sort as PATH~
      --keep TITLE     keep the order of the entries of every folder titled
                       exactly TITLE (folders inside it are still sorted);
                       may be given more than once
      --sort-reading-list
                       sort the Reading List too (kept in its order by default)
  -n, --dry-run        show which folders would change and how many of their
                       entries would move; write nothing, leave the browser alone
      --check          like --dry-run, and the exit status says whether every
                       folder is in order
  -v, --verbose        after a sort, show which folders changed
  -h, --help           show this text
      --version        show the version
  --                   end the options: later arguments are paths
A PATH of "-" is a file named "-".

Examples:
  tidymark                            sort the browser's bookmarks
  tidymark -b Bookmarks.plist         sort, keeping the old file as Bookmarks.plist~
  tidymark --keep BookmarksBar        leave the favourites bar's own order
  tidymark --sort-reading-list        sort the Reading List too
  tidymark -n Bookmarks.plist         show what a sort would move
  tidymark --check Bookmarks.plist    exit 1 if some folder is out of order
  tidymark -v a.plist b.plist         sort two files, showing what moved
  tidymark -- -x.plist                sort the file named -x.plist

Exit status: 0 sorted, or nothing to do; 1 some file failed and is unchanged
unless its message says it was replaced; 2 usage error. With --check: 0 every
folder is in order, 1 some folder would change, 2 a file could not be checked
or usage error.
)";
}

std::string versionText() {
  return "tidymark " TIDYMARK_VERSION;
}

}  // namespace tidymark
