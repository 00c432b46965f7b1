#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/test_support.h"

namespace {

struct Parsed {
  std::wstring action;
  std::wstring path;
  bool removal;
};

Parsed Parse(std::vector<std::wstring> arguments) {
  ResetGameProfile();
  arguments.insert(arguments.begin(), L"C:\\bin\\uninstall.exe");
  std::vector<wchar_t*> vector;
  for (std::wstring& argument : arguments) vector.push_back(&argument[0]);
  vector.push_back(nullptr);
  LaunchOptions options;
  ParseCommandLine(static_cast<int>(arguments.size()), vector.data(), options);
  return {options.action, GameProfile.install_dir, SelectsRemovalStage(options)};
}

}  // namespace

TEST(CommandLine, OptionMatchingRules) {
  struct Case {
    std::vector<std::wstring> arguments;
    std::wstring action;
    std::wstring path;
    bool removal;
  };
  const Case cases[] = {
      {{}, L"", L"", false},
      {{L"/action=uninstall", L"/path=C:\\Games\\Demo"}, L"uninstall", L"C:\\Games\\Demo", true},
      // Name matched in lower case with '-' read as '/'; value kept as typed.
      {{L"-ACTION=uninstall"}, L"uninstall", L"", true},
      {{L"/action=Uninstall"}, L"Uninstall", L"", false},
      // A longer name that begins with an option's name is that option.
      {{L"/pathology=C:\\x", L"/actions=x"}, L"x", L"C:\\x", false},
      {{L"/path=a", L"/path=b"}, L"", L"b", false},
      {{L"/path=a", L"/path"}, L"", L"", false},
      {{L"/path=a", L"/path="}, L"", L"", false},
      {{L"/path=C:\\a=b"}, L"", L"C:\\a=b", false},
      // White space around the element is trimmed for matching only.
      {{L"  /path= C:\\x y  "}, L"", L" C:\\x y  ", false},
      // Quotes that survive splitting are removed only as a pair.
      {{L"/path=\"C:\\q\""}, L"", L"C:\\q", false},
      {{L"/path=\"C:\\q"}, L"", L"\"C:\\q", false},
      // No leading '/' or '-', or a doubled hyphen: not an option.
      {{L"/verbose", L"path=C:\\x", L"--path=C:\\y", L"action=uninstall"}, L"", L"", false},
      // Only ASCII letters are lowered: a non-ASCII capital stays and misses.
      {{L"/P\u00C1TH=x"}, L"", L"", false},
      {{L"/uninstall", L"/action=uninstall "}, L"uninstall ", L"", false},
  };
  for (const Case& c : cases) {
    std::wstring joined;
    for (const std::wstring& a : c.arguments) joined += L"[" + a + L"]";
    SCOPED_TRACE(WideToUtf8(joined));
    const Parsed parsed = Parse(c.arguments);
    EXPECT_EQ(parsed.action, c.action);
    EXPECT_EQ(parsed.path, c.path);
    EXPECT_EQ(parsed.removal, c.removal);
  }
}

TEST(CommandLine, LongValueIsCutTo4095) {
  const std::wstring value(5000, L'v');
  EXPECT_EQ(Parse({L"/path=" + value}).path, value.substr(0, 4095));
  EXPECT_EQ(ExtractOptionValue(L"/path=" + value).size(), 4095u);
}

TEST(CommandLine, ExtractOptionValueTakesEverythingAfterFirstEquals) {
  EXPECT_EQ(ExtractOptionValue(L"/x"), L"");
  EXPECT_EQ(ExtractOptionValue(L"/x="), L"");
  EXPECT_EQ(ExtractOptionValue(L"/X=A=b=C"), L"A=b=C");
  EXPECT_EQ(ExtractOptionValue(L"/x=\"two words\""), L"two words");
}

// The runtime's own splitting of a real command line, in a real process.
TEST(CommandLine, RealProcessCommandLines) {
  struct Case {
    std::wstring arguments;
    std::string expected;
  };
  const Case cases[] = {
      // What the relocation stage passes to its copy (trailing space included).
      {L"/action=uninstall /path=\"C:\\Games\\Demo Game\" ",
       "action=uninstall\npath=C:\\Games\\Demo Game\nremoval=yes\n"},
      {L"/action=uninstall /path=\"C:\" ", "action=uninstall\npath=C:\nremoval=yes\n"},
      {L"-ACTION=uninstall", "action=uninstall\npath=\nremoval=yes\n"},
      {L"/action=Uninstall /path=C:\\x", "action=Uninstall\npath=C:\\x\nremoval=no\n"},
      // Escaped quotes survive splitting and are then unquoted.
      {L"/path=\\\"C:\\q\\\"", "action=\npath=C:\\q\nremoval=no\n"},
      // A whole quoted element keeps its inner white space in the value.
      {L"\"/path= spaced \"", "action=\npath= spaced \nremoval=no\n"},
      {L"", "action=\npath=\nremoval=no\n"},
  };
  const std::wstring folder = oldtest::FreshTestFolder();
  const std::wstring out = folder + L"probe.txt";
  ::SetEnvironmentVariableW(L"PROBE_OUT", out.c_str());
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.arguments));
    ::DeleteFileW(out.c_str());
    const oldtest::ProcessRun run = oldtest::RunProcess(
        L"\"" + oldtest::ProgramFolder() + L"cmdline_probe.exe\" " + c.arguments, 20000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(oldtest::ReadFileBytes(out), c.expected);
  }
  ::SetEnvironmentVariableW(L"PROBE_OUT", nullptr);
}
