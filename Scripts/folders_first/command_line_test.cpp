#include "Scripts/folders_first/command_line.h"

#include <gtest/gtest.h>

namespace tidymark {
namespace {

// What the command line asks for, in one line: the action, then what else it says.
std::string shown(const CommandLine& line) {
  const char* actions[] = {"sort", "help", "version", "usage error: "};
  if (!line.error.empty()) return actions[static_cast<int>(line.action)] + line.error;
  return actions[static_cast<int>(line.action)] + std::string(line.dryRun ? " -n" : "") +
         (line.keyword ? " foldersFirst" : "") + (line.path ? " " + *line.path : "");
}

// Options come first and end at the first other argument or at "--"; the keyword counts only
// first after them, in any case; an unknown option, or one after the path, is named.
TEST(CommandLine, ReadsOptionsKeywordAndPathOrNamesWhatIsWrong) {
  const std::string see = " (see tidymark --help)",
                    late = " after the path: options come first" + see;
  const std::pair<std::vector<std::string_view>, std::string> cases[] = {
      {{"--dry-run", "FoldersFirst", "b.plist", "ignored"}, "sort -n foldersFirst b.plist"},
      {{}, "sort"},
      {{"-h", "b.plist"}, "help"},
      {{"--version", "-n", "--help", "b.plist"}, "help -n"},
      {{"--", "b.plist", "--help"}, "sort b.plist"},
      {{"foldersFirst", "-n"}, "sort foldersFirst -n"},
      {{"--help", "-x.plist"}, "usage error: unknown option '-x.plist'" + see},
      {{"b.plist", "--dry-run"}, "usage error: option '--dry-run'" + late},
      {{"foldersFirst", "b", "x", "-n"}, "usage error: option '-n'" + late},
  };
  for (const auto& [args, expected] : cases)
    EXPECT_EQ(shown(parseCommandLine(args)), expected);
}

}  // namespace
}  // namespace tidymark
