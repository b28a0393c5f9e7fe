#include "Scripts/folders_first/command_line.h"

#include <gtest/gtest.h>

namespace tidymark {
namespace {

using Action = CommandLine::Action;

TEST(CommandLine, OptionsComeFirstAndEndAtTheFirstOtherArgumentOrDoubleDash) {
  struct Case {
    std::vector<std::string_view> args;
    Action action;
    bool dryRun = false;
    bool keyword = false;
    std::optional<std::string> path = std::nullopt;
  };
  const Case cases[] = {
      {{}, Action::Sort},
      {{"-n"}, Action::Sort, true},
      {{"--dry-run", "FoldersFirst", "b.plist", "ignored"}, Action::Sort, true, true, "b.plist"},
      {{"-h"}, Action::Help},
      {{"--help", "b.plist"}, Action::Help},
      {{"--version"}, Action::Version},
      {{"--version", "-n", "--help"}, Action::Help, true},
      {{"--", "-x.plist"}, Action::Sort, false, false, "-x.plist"},
      {{"-n", "--", "--help"}, Action::Sort, true, false, "--help"},
      {{"--", "foldersfirst"}, Action::Sort, false, true},
      {{"-"}, Action::Sort, false, false, "-"},
      {{"b.plist", "ignored", "-"}, Action::Sort, false, false, "b.plist"},
      {{"--", "b.plist", "--help"}, Action::Sort, false, false, "b.plist"},
      {{"foldersFirst", "-n"}, Action::Sort, false, true, "-n"},
      {{"foldersFirst", "foldersFirst"}, Action::Sort, false, true, "foldersFirst"},
  };
  for (const Case& c : cases) {
    const CommandLine line = parseCommandLine(c.args);
    const std::string shown = c.args.empty() ? "(none)" : std::string(c.args.front());
    EXPECT_EQ(line.action, c.action) << shown;
    EXPECT_EQ(line.dryRun, c.dryRun) << shown;
    EXPECT_EQ(line.keyword, c.keyword) << shown;
    EXPECT_EQ(line.path, c.path) << shown;
    EXPECT_EQ(line.error, "") << shown;
  }
}

TEST(CommandLine, AnUnknownOptionIsNamed) {
  const std::pair<std::vector<std::string_view>, std::string> cases[] = {
      {{"--bogus", "b.plist"}, "unknown option '--bogus'"},
      {{"--help", "-x.plist"}, "unknown option '-x.plist'"},  // what was meant was "--"
      {{"-nh"}, "unknown option '-nh'"},
      {{"--dry-run=yes"}, "unknown option '--dry-run=yes'"},
      // A preview asked for after the path must not turn into a sort.
      {{"b.plist", "--dry-run"}, "option '--dry-run' after the path: options come first"},
      {{"foldersFirst", "b.plist", "x", "-n"}, "option '-n' after the path: options come first"},
  };
  for (const auto& [args, message] : cases) {
    const CommandLine line = parseCommandLine(args);
    EXPECT_EQ(line.action, Action::UsageError) << message;
    EXPECT_EQ(line.error, message + " (see tidymark --help)");
  }
}

}  // namespace
}  // namespace tidymark
