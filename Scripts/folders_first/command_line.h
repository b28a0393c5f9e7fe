#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tidymark {

// The title of the browser's Reading List, a queue kept in the order pages were added: its
// entries keep their order unless --sort-reading-list is given.
inline constexpr std::string_view kReadingListTitle = "com.apple.ReadingList";

// What the command line asks for.
struct CommandLine {
  enum class Action { Sort, Help, Version, UsageError };
  // Sort: write the sorted file; DryRun (-n): show what would change, write nothing; Check: the
  // same, with the exit status saying whether anything would change.
  enum class Mode { Sort, DryRun, Check };
  Action action = Action::Sort;
  Mode mode = Mode::Sort;
  bool verbose = false;            // -v: after a sort, show what moved
  bool backup = false;             // -b: keep the file as it was as PATH~
  bool keyword = false;            // foldersFirst was given
  std::vector<std::string> keep;   // folders whose entries keep their order, by exact title
  std::vector<std::string> paths;  // none: the default path
  std::string error;               // for UsageError, the message, as raw as the arguments
};

// Reads the arguments after the program name:
//
//   [OPTION ...] [foldersFirst] [PATH ...]
//
// An argument that begins with "-" is an option wherever it stands, until "--", which ends the
// options; "-" alone is a path. The first unknown option, or a --keep without a title, is a
// usage error; otherwise --help wins over --version, and either over a run. The keyword (any
// letter case) counts only as the first argument that is not an option, and the argument after
// it is a path whatever its name; later, the bare keyword is ignored, as it always was after a
// path. An empty path is a usage error. `keep` holds the titles of --keep, then the Reading
// List's unless --sort-reading-list was given.
CommandLine parseCommandLine(const std::vector<std::string_view>& args);

// The text --help prints, and the line --version prints.
std::string_view usageText();
std::string versionText();

}  // namespace tidymark
