// The command line as deployment tools write it: each switch, in any case and with either
// prefix, paths with spaces and quotes, and what is refused.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::wstring>;

TEST(CommandLineTest, SplitsAsTheSystemDoes) {
  EXPECT_EQ(SplitArguments(L"setup.exe"), Words{});
  EXPECT_EQ(SplitArguments(nullptr), Words{});
  // The program's name is skipped, quoted (with spaces) or not, and takes no escapes.
  EXPECT_EQ(SplitArguments(L"\"C:\\Users\\a b\\Downloads\\setup.exe\" /silent"), Words{L"/silent"});
  EXPECT_EQ(SplitArguments(L"C:\\x\\setup.exe   /a \t -b  "), (Words{L"/a", L"-b"}));
  EXPECT_EQ(SplitArguments(L"\"C:\\x\\\"/a"), Words{L"/a"});
  // Quotes group anywhere in an argument and are dropped.
  EXPECT_EQ(SplitArguments(L"p /log=\"C:\\a b\\x.log\" /s"),
            (Words{L"/log=C:\\a b\\x.log", L"/s"}));
  EXPECT_EQ(SplitArguments(L"p \"/log=C:\\a b\\x.log\""), Words{L"/log=C:\\a b\\x.log"});
  EXPECT_EQ(SplitArguments(L"p \"\""), Words{L""});
  // Backslashes are literal unless a quote follows them: 2n and a quote give n and group, 2n+1
  // give n and a literal quote.
  EXPECT_EQ(SplitArguments(L"p C:\\a\\\\b"), Words{L"C:\\a\\\\b"});
  EXPECT_EQ(SplitArguments(L"p \"C:\\dir\\\\\" /x"), (Words{L"C:\\dir\\", L"/x"}));
  EXPECT_EQ(SplitArguments(L"p a\\\"b"), Words{L"a\"b"});
  EXPECT_EQ(SplitArguments(L"p \"a\"\"b\""), Words{L"a\"b"});
  // An unclosed quote runs to the end.
  EXPECT_EQ(SplitArguments(L"p \"a b"), Words{L"a b"});
}

TEST(CommandLineTest, EverySwitchInAnyCaseWithEitherPrefix) {
  EXPECT_EQ(ParseCommandLine(L"p").action, CommandAction::Install);
  EXPECT_EQ(ParseCommandLine(L"p").ui, UiMode::Normal);
  EXPECT_FALSE(ParseCommandLine(L"p").quiet());
  for (const wchar_t* line : {L"p /silent", L"p -SILENT", L"p /Silent"}) {
    const CommandLine c = ParseCommandLine(line);
    EXPECT_EQ(c.action, CommandAction::Install);
    EXPECT_EQ(c.ui, UiMode::Silent);
    EXPECT_TRUE(c.quiet());
  }
  for (const wchar_t* line : {L"p /verysilent", L"p -VerySilent", L"p /silent /VERYSILENT",
                              L"p /verysilent /silent"}) {
    EXPECT_EQ(ParseCommandLine(line).ui, UiMode::VerySilent) << line;
  }
  for (const wchar_t* line : {L"p /?", L"p -?", L"p /help", L"p -HELP", L"p /verysilent /?",
                              L"p /uninstall /help"}) {
    EXPECT_EQ(ParseCommandLine(line).action, CommandAction::Usage) << line;
  }
  const CommandLine log = ParseCommandLine(L"p /VERYSILENT /LOG=\"C:\\Program Files\\it\\q.log\"");
  EXPECT_EQ(log.action, CommandAction::Install);
  EXPECT_EQ(log.ui, UiMode::VerySilent);
  EXPECT_EQ(log.log_path, L"C:\\Program Files\\it\\q.log");
  EXPECT_EQ(ParseCommandLine(L"p -log=x.log").log_path, L"x.log");
  // An equals sign in the path is the path's.
  EXPECT_EQ(ParseCommandLine(L"p /log=a=b.log").log_path, L"a=b.log");
  const CommandLine uninstall = ParseCommandLine(L"p -Uninstall /verysilent");
  EXPECT_EQ(uninstall.action, CommandAction::Uninstall);
  EXPECT_EQ(uninstall.ui, UiMode::VerySilent);
}

TEST(CommandLineTest, TheUninstallsSecondStageReadsWhatTheFirstWrites) {
  for (const UiMode ui : {UiMode::Normal, UiMode::Silent, UiMode::VerySilent}) {
    const std::wstring line = L"\"C:\\t\\Quillbank1-uninstall.exe\" " +
                              UninstallRunArguments(18446744073709551615u, 1234, ui);
    const CommandLine c = ParseCommandLine(line.c_str());
    EXPECT_EQ(c.action, CommandAction::UninstallRun);
    EXPECT_EQ(c.parent, 18446744073709551615u);
    EXPECT_EQ(c.result_pipe, 1234u);
    EXPECT_EQ(c.ui, ui);
  }
  // Without a pipe (nothing waits for the result) it still runs.
  const CommandLine old = ParseCommandLine(L"p /uninstall-run 88");
  EXPECT_EQ(old.action, CommandAction::UninstallRun);
  EXPECT_EQ(old.parent, 88u);
  EXPECT_EQ(old.result_pipe, 0u);
}

TEST(CommandLineTest, AnythingNotUnderstoodIsRefused) {
  struct Case {
    const wchar_t* line;
    const wchar_t* refused;
  };
  for (const Case& c : std::vector<Case>{
           {L"p /quiet", L"/quiet"},
           {L"p /S", L"/S"},
           {L"p /silent /verysilentx", L"/verysilentx"},
           {L"p /silent=1", L"/silent=1"},
           {L"p end", L"end"},          // a word that is no switch
           {L"p /", L"/"},
           {L"p -", L"-"},
           {L"p /log=", L"/log="},      // no path
           {L"p /log", L"/log"},
           {L"p /log=a /log=b", L"/log=b"},
           {L"p /uninstall /uninstall", L"/uninstall"},
           {L"p /uninstall-run", L"/uninstall-run"},
           {L"p /uninstall-run 12x", L"/uninstall-run"},
           {L"p /uninstall-run 18446744073709551616", L"/uninstall-run"},  // past 64 bits
           {L"p /uninstall-run 1 2 3", L"3"},
           {L"p /uninstall /log=x.log", L"/log=x.log"},  // the uninstall writes no log
           {L"p /? /bogus", L"/bogus"},  // refused even with the usage asked for
       }) {
    const CommandLine parsed = ParseCommandLine(c.line);
    EXPECT_EQ(parsed.action, CommandAction::Invalid) << c.line;
    EXPECT_EQ(parsed.refused, c.refused) << c.line;
  }
  // The UI mode still reads, so that a refusal in the silent modes shows nothing.
  EXPECT_EQ(ParseCommandLine(L"p /verysilent /bogus").ui, UiMode::VerySilent);
}

}  // namespace
