// The command line as the uninstaller reads it, from argument vectors and
// from real processes' command lines as the runtime splits them; and the text
// conversions and formatter underneath.

#include "app/command_line.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/harness.h"

TEST(CommandLine, OptionsAreMatchedByPrefixAndTheirValuesKeptAsTyped) {
  const std::wstring long_value(5000, L'v');
  const struct {
    std::vector<std::wstring> arguments;
    std::wstring action, path;
    bool removal;
    std::wstring quiet_and_log = L"|";  // "quiet|<log>"
  } cases[] = {
      {{}, L"", L"", false},
      {{L"/action=uninstall", L"/path=C:\\Games\\Demo"}, L"uninstall", L"C:\\Games\\Demo", true},
      {{L"-ACTION=uninstall"}, L"uninstall", L"", true},  // name in lower case, '-' for '/'
      {{L"/action=Uninstall"}, L"Uninstall", L"", false},  // the value's case is kept and compared
      {{L"/pathology=C:\\x", L"/actions=x"}, L"x", L"C:\\x", false},
      {{L"/path=a", L"/path=b"}, L"", L"b", false},
      {{L"/path=a", L"/path"}, L"", L"", false},
      {{L"/path=a", L"/path="}, L"", L"", false},
      {{L"/path=C:\\a=b"}, L"", L"C:\\a=b", false},
      {{L"  /path= C:\\x y  "}, L"", L" C:\\x y  ", false},  // trimmed for matching only
      {{L"/path=\"C:\\q\""}, L"", L"C:\\q", false},          // quotes go only as a pair
      {{L"/path=\"C:\\q"}, L"", L"\"C:\\q", false},
      {{L"/verbose", L"path=C:\\x", L"--path=C:\\y", L"action=uninstall"}, L"", L"", false},
      {{L"/P\u00C1TH=x"}, L"", L"", false},  // only ASCII letters are lowered
      {{L"/uninstall", L"/action=uninstall "}, L"uninstall ", L"", false},
      {{L"/path=" + long_value}, L"", long_value.substr(0, 4095), false},
      // Deployment tools' spellings: /quiet like the others, the rest whole words.
      {{L"-QUIET", L"/log=C:\\x y.log"}, L"", L"", false, L"quiet|C:\\x y.log"},
      {{L"/S"}, L"", L"", false, L"quiet|"}, {{L"/silent"}, L"", L"", false, L"quiet|"},
      {{L"/VerySilent", L"/norestart", L"/SUPPRESSMSGBOXES"}, L"", L"", false, L"quiet|"},
      {{L"/sx", L"/silently", L"/s=1", L"/log"}, L"", L"", false, L"|"},
  };
  for (auto c : cases) {
    c.arguments.insert(c.arguments.begin(), L"C:\\bin\\uninstall.exe");
    std::vector<wchar_t*> vector;
    for (std::wstring& argument : c.arguments) vector.push_back(&argument[0]);
    GameProfile = {};
    LaunchOptions options;
    ParseCommandLine(static_cast<int>(vector.size()), vector.data(), options);
    EXPECT_EQ(options.action + L"|" + GameProfile.install_dir + L"|" + (SelectsRemovalStage(options) ? L"removal" : L"") +
                  L"|" + (options.quiet ? L"quiet" : L"") + L"|" + options.log,
              c.action + L"|" + c.path + L"|" + (c.removal ? L"removal" : L"") + L"|" + c.quiet_and_log);
  }
  EXPECT_EQ(ExtractOptionValue(L"/X=A=b=C") + L"|" + ExtractOptionValue(L"/x") + L"|" + ExtractOptionValue(L"/x=\"two words\""),
            L"A=b=C||two words");

  // Real processes: the runtime's own splitting.
  const std::wstring out = test::FreshFolder() + L"probe.txt";
  test::SetEnv({{L"HELPER", L"cmdline"}, {L"HELPER_OUT", out}});
  for (const auto& [arguments, expected] : std::vector<std::pair<std::wstring, std::string>>{
           // What the relocation stage passes to its copy, trailing space included.
           {L"/action=uninstall /path=\"C:\\Games\\Demo Game\" ", "uninstall|C:\\Games\\Demo Game|yes"},
           {L"/action=uninstall /path=\"C:\" ", "uninstall|C:|yes"},
           {L"/path=\\\"C:\\q\\\"", "|C:\\q|no"},           // escaped quotes survive splitting, then go
           {L"\"/path= spaced \"", "| spaced |no"}, {L"", "||no"}}) {
    EXPECT_EQ(test::Start(L"\"" + test::ProgramFolder() + L"helper.exe\" " + arguments).Wait(), 0u);
    std::string found = test::Read(out);
    for (const char* name : {"action=", "\npath=", "\nremoval="}) found.replace(found.find(name), strlen(name), "|");
    EXPECT_EQ(found, "|" + expected + "\n") << WideToUtf8(arguments);
  }
  test::SetEnv({{L"HELPER", L""}, {L"HELPER_OUT", L""}});
}

TEST(CommandLine, TextConversionsAndFormatting) {
  EXPECT_EQ(Utf8ToWide("Caf\xC3\xA9 \xE6\xB8\xB8 \xF0\x9F\x8E\xAE"), L"Caf\u00E9 \u6E38 \U0001F3AE");
  EXPECT_EQ(WideToUtf8(L"Caf\u00E9 \u6E38 \U0001F3AE"), "Caf\xC3\xA9 \xE6\xB8\xB8 \xF0\x9F\x8E\xAE");
  EXPECT_EQ(Utf8ToWide(std::string("abc\0def", 7)) + AnsiToWide("3.1.2") + Utf8ToWide(""), L"abc3.1.2");
  EXPECT_EQ(WideToUtf8(std::wstring(L"xy\0z", 4)), "xy");
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\xFFFD" L"b");  // replaced, not dropped
  EXPECT_EQ(FormatWide(L"%s.%d|%s\\g_uninstall_%u.exe", L"x", -3, L"C:\\Temp\\", 4294967295u),
            L"x.-3|C:\\Temp\\\\g_uninstall_4294967295.exe");
  std::wstring long_text;
  for (int i = 0; i < 5000; ++i) long_text += static_cast<wchar_t>(L'a' + i % 26);
  EXPECT_EQ(FormatWide(L"%s", long_text.c_str()), long_text.substr(0, 4095));
}
