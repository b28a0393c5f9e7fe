#include "Scripts/folders_first/command_line.h"

#include <gtest/gtest.h>

namespace tidymark {
namespace {

// What the command line asks for, in one line: the action, then what else it says.
std::string shown(const CommandLine& line) {
  const char* actions[] = {"sort", "help", "version", "usage error: "};
  const char* modes[] = {"", " -n", " --check"};
  std::string text = actions[static_cast<int>(line.action)];
  if (line.action != CommandLine::Action::Sort) return text + line.error;
  text += modes[static_cast<int>(line.mode)];
  if (line.verbose) text += " -v";
  if (line.backup) text += " -b";
  for (const std::string& title : line.keep)
    text += " keep:" + title;
  if (line.keyword) text += " foldersFirst";
  for (const std::string& path : line.paths)
    text += " " + path;
  return text;
}

// Options stand anywhere until "--"; the keyword counts only as the first other argument, in
// any case, and the next argument is a path whatever its name; a later bare keyword is ignored;
// the Reading List is kept unless asked otherwise; what is wrong is named.
TEST(CommandLine, ReadsOptionsKeywordAndPathsOrNamesWhatIsWrong) {
  const std::string see = " (see tidymark --help)", list = " keep:com.apple.ReadingList";
  const std::pair<std::vector<std::string_view>, std::string> cases[] = {
      {{}, "sort" + list},
      {{"--dry-run", "FoldersFirst", "b.plist"}, "sort -n" + list + " foldersFirst b.plist"},
      {{"foldersFirst", "-n", "x.plist"}, "sort -n" + list + " foldersFirst x.plist"},
      {{"b.plist", "--check", "-n"}, "sort --check" + list + " b.plist"},
      {{"-v", "--backup", "a", "b", "-b"}, "sort -v -b" + list + " a b"},
      {{"--keep", "Bar", "--keep=-x", "--sort-reading-list"}, "sort keep:Bar keep:-x"},
      {{"a.plist", "FOLDERSFIRST"}, "sort" + list + " a.plist"},
      {{"foldersFirst", "foldersfirst", "foldersFirst"},
       "sort" + list + " foldersFirst foldersfirst"},
      {{"--", "-x.plist", "--help"}, "sort" + list + " -x.plist --help"},
      {{"-", "--verbose"}, "sort -v" + list + " -"},
      {{"-h", "b.plist", ""}, "help"},
      {{"--version", "-n", "--help"}, "help"},
      {{"--version"}, "version"},
      {{"--help", "-x.plist"}, "usage error: unknown option '-x.plist'" + see},
      {{"-nv"}, "usage error: unknown option '-nv'" + see},
      {{"a.plist", "--keep"}, "usage error: option '--keep' needs a folder title" + see},
      {{"a.plist", ""}, "usage error: an empty path names no file" + see},
  };
  for (const auto& [args, expected] : cases)
    EXPECT_EQ(shown(parseCommandLine(args)), expected) << ::testing::PrintToString(args);
}

}  // namespace
}  // namespace tidymark
