#include "Scripts/folders_first/command_line.h"

#include <strings.h>

#include <string>

namespace tidymark {

namespace {

constexpr std::string_view kKeyword = "foldersFirst";

bool isKeyword(std::string_view arg) {
  return arg.size() == kKeyword.size() &&
         strncasecmp(arg.data(), kKeyword.data(), kKeyword.size()) == 0;
}

bool isOption(std::string_view arg) {
  return arg.starts_with('-') && arg != "-";
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string_view>& args) {
  CommandLine line;
  bool help = false;
  bool version = false;
  std::size_t i = 0;
  bool ended = false;  // by "--"
  for (; i < args.size() && isOption(args[i]); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {
      ++i;
      ended = true;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "-n" || arg == "--dry-run") {
      line.dryRun = true;
    } else {
      line.action = CommandLine::Action::UsageError;
      line.error = "unknown option '" + std::string(arg) + "' (see tidymark --help)";
      return line;
    }
  }
  if (help || version) {
    line.action = help ? CommandLine::Action::Help : CommandLine::Action::Version;
    return line;
  }
  if (i < args.size() && isKeyword(args[i])) {
    line.keyword = true;
    ++i;
  }
  if (i < args.size()) line.path = std::string(args[i++]);
  // An option after the path would be ignored, and "tidymark FILE --dry-run" would then sort
  // the file it was asked only to look at: refuse it instead.
  for (; !ended && i < args.size(); ++i) {
    if (isOption(args[i])) {
      line.action = CommandLine::Action::UsageError;
      line.error = "option '" + std::string(args[i]) +
                   "' after the path: options come first (see tidymark --help)";
      return line;
    }
  }
  return line;
}

std::string_view usageText() {
  return R"(usage: tidymark [OPTION ...] [foldersFirst] [PATH]

Sorts a browser's bookmarks file in place: in every folder, folders first, then
by title, case-insensitively, with runs of digits compared by value. If the
browser is running, it is asked to quit first.

  foldersFirst   in any letter case, first after the options: says that
                 folders come first (they always do)
  PATH           the bookmarks file, used as written; without one,
                 $HOME/Library/Safari/Bookmarks.plist

Options, only before foldersFirst and PATH (one after PATH is refused):
  -n, --dry-run  show which folders would change and how many of their
                 entries would move; write nothing, leave the browser alone
  -h, --help     show this text
      --version  show the version
  --             end the options: 'tidymark -- -x.plist' sorts -x.plist
A PATH of "-" is a file named "-".

Exit status: 0 sorted, or nothing to do; 1 failed, the file is unchanged
unless the message says it was replaced; 2 usage error.
)";
}

std::string versionText() {
  return "tidymark " TIDYMARK_VERSION;
}

}  // namespace tidymark
