#include "common/text.h"

#include <gtest/gtest.h>

TEST(TextConversion, EmptyAndEmbeddedNul) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(AnsiToWide(""), L"");
  // Only the part before an embedded NUL is converted.
  EXPECT_EQ(Utf8ToWide(std::string("abc\0def", 7)), L"abc");
  EXPECT_EQ(WideToUtf8(std::wstring(L"xy\0z", 4)), "xy");
}

TEST(TextConversion, NonAsciiRoundTrips) {
  const std::string utf8 = "Caf\xC3\xA9 \xE6\xB8\xB8\xE6\x88\x8F \xF0\x9F\x8E\xAE";
  const std::wstring wide = L"Caf\u00E9 \u6E38\u620F \U0001F3AE";
  EXPECT_EQ(Utf8ToWide(utf8), wide);
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(AnsiToWide("3.1.2"), L"3.1.2");
}

TEST(TextConversion, InvalidUtf8IsReplacedNotDropped) {
  const std::wstring wide = Utf8ToWide("a\xFF" "b");
  ASSERT_EQ(wide.size(), 3u);
  EXPECT_EQ(wide[0], L'a');
  EXPECT_EQ(wide[1], L'\xFFFD');
  EXPECT_EQ(wide[2], L'b');
}

TEST(FormatWide, DirectivesTakeWideStringsAndIntegers) {
  EXPECT_EQ(FormatWide(L"%s.%d", L"3.1.2", 7), L"3.1.2.7");
  EXPECT_EQ(FormatWide(L"%s.%d", L"", 0), L".0");
  EXPECT_EQ(FormatWide(L"%s.%d", L"x", -3), L"x.-3");
  EXPECT_EQ(FormatWide(L"%s\\g_uninstall_%u.exe", L"C:\\Temp\\", 4294967295u),
            L"C:\\Temp\\\\g_uninstall_4294967295.exe");
  EXPECT_EQ(FormatWide(L"%s Unistall", L"\u6E38\u620F"), L"\u6E38\u620F Unistall");
}

TEST(FormatWide, LongOutputIsCutAt4095) {
  std::wstring long_text;
  for (int i = 0; i < 5000; ++i) long_text += static_cast<wchar_t>(L'a' + i % 26);
  const std::wstring result = FormatWide(L"%s", long_text.c_str());
  EXPECT_EQ(result.size(), 4095u);
  EXPECT_EQ(result, long_text.substr(0, 4095));
}
