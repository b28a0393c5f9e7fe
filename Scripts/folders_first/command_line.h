#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidymark {

// What the command line asks for.
struct CommandLine {
  enum class Action { Sort, Help, Version, UsageError };
  Action action = Action::Sort;
  bool dryRun = false;              // -n, --dry-run: show what would change, write nothing
  bool keyword = false;             // foldersFirst was given
  std::optional<std::string> path;  // none: the default path
  std::string error;                // for UsageError, the message, as raw as the arguments
};

// Reads the arguments after the program name:
//
//   [OPTION ...] [--] [foldersFirst] [PATH] [ignored ...]
//
// Options are the arguments that begin with "-" before the first that does not, or before
// "--", which ends them; "-" alone is a path. The first unknown option is a usage error;
// otherwise --help wins over --version, and either over a run. After the options the keyword
// (any letter case) counts only as the first argument, and the next one is the path. Further
// arguments are ignored, except that one beginning with "-" is a usage error unless "--" ended
// the options: it was meant as an option.
CommandLine parseCommandLine(const std::vector<std::string_view>& args);

// The text --help prints, and the line --version prints.
std::string_view usageText();
std::string versionText();

}  // namespace tidymark
