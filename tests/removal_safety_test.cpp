#include "cleanup/removal_safety.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "cleanup/path_operations.h"
#include "cleanup/platform_data.h"
#include "cleanup/tree_removal.h"
#include "common/text.h"
#include "tests/support/test_support.h"

namespace {

std::wstring ShellFolder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  EXPECT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer)));
  return buffer;
}

// A link left by an earlier run in the same prefix (Wine cannot remove it)
// is reused.
bool EnsureFolderLink(const std::wstring& link, const std::wstring& target) {
  const DWORD attributes = test::ListedAttributes(link);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return true;
  return test::MakeFolderLink(link, target);
}

}  // namespace

TEST(RemovalSafety, PlainNames) {
  for (const wchar_t* name : {L"sdk_cache", L"7", L"My Game", L"Game (2024)", L"a.b", L"ü"})
    EXPECT_TRUE(IsPlainName(name)) << WideToUtf8(name);
  for (const wchar_t* name : {L"", L".", L"..", L"a\\b", L"a/b", L"C:", L"a:b", L"*", L"a?",
                              L"a<b", L"a>b", L"a\"b", L"a|b", L"a\tb", L"a\x7f", L"end.",
                              L"end ", L" ", L"..."})
    EXPECT_FALSE(IsPlainName(name)) << WideToUtf8(name);
}

// Only the answer is checked for folders whose removal would wreck the
// prefix for the rest of the run.
TEST(RemovalSafety, TargetsThatAreRefused) {
  const std::wstring profile = ShellFolder(CSIDL_PROFILE);
  const std::wstring refused[] = {
      L"", L"C:", L"C:\\", L"C:/", L"D:\\", L"c", L"Games\\G\\app\\", L"\\Games\\G\\",
      L"C:Games\\G", L"\\\\server\\share", L"\\\\server\\share\\", L"\\\\?\\C:\\Games\\G",
      L"\\\\.\\C:\\Games\\G", L"C:\\Games\\*", L"C:\\Games\\G?", L"C:\\Games\\G:stream",
      L"C:\\Games\\..", L"C:\\Games\\..\\windows", L"c:/WINDOWS/", L"C:\\windows\\.",
      L"C:\\windows\\system32", L"C:\\windows\\Fonts", ShellFolder(CSIDL_PROGRAM_FILES),
      ShellFolder(CSIDL_PROGRAM_FILESX86), ShellFolder(CSIDL_COMMON_APPDATA),
      ParentDirectory(profile), profile, profile + L"\\AppData", ShellFolder(CSIDL_DESKTOPDIRECTORY),
      ShellFolder(CSIDL_PERSONAL), ShellFolder(CSIDL_STARTMENU), ShellFolder(CSIDL_PROGRAMS),
      ShellFolder(CSIDL_APPDATA), ShellFolder(CSIDL_LOCAL_APPDATA), ComposePlatformDataPath(),
      ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Brimlake", test::Env(L"TEMP"),
  };
  for (const std::wstring& folder : refused)
    EXPECT_FALSE(IsSafeRemovalTarget(folder)) << WideToUtf8(folder);
  for (const std::wstring& folder :
       {std::wstring(L"C:\\work\\tests\\x"), std::wstring(L"D:\\Lib\\G\\app\\"),
        std::wstring(L"C:/Games//G/"), ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Game",
        ShellFolder(CSIDL_PROGRAMS) + L"\\Game\\", ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Game"})
    EXPECT_TRUE(IsSafeRemovalTarget(folder)) << WideToUtf8(folder);
}

// The folders a user owns: removal is refused and their files survive.
TEST(RemovalSafety, RefusedTreesKeepTheirFiles) {
  const std::wstring own = test::FreshTestFolder();
  ASSERT_TRUE(test::MapDrive(L'D', own));
  // Composed rather than asked for, so that this process keeps nothing.
  const std::wstring platform_data = ComposePlatformDataPath();
  const std::wstring folders[] = {
      L"D:\\", ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\", ShellFolder(CSIDL_PERSONAL),
      ShellFolder(CSIDL_PROGRAMS), ShellFolder(CSIDL_STARTMENU), test::Env(L"TEMP"),
      platform_data, ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Brimlake",
  };
  for (const std::wstring& folder : folders) {
    const std::wstring marker = folder + L"\\removal_safety_marker\\keep.txt";
    test::WriteFileBytes(marker, "x");
    RemoveDirectoryTree(folder);
    EXPECT_FALSE(DeleteAllFiles(folder)) << WideToUtf8(folder);
    EXPECT_FALSE(RemoveAllSubdirectories(folder)) << WideToUtf8(folder);
    EXPECT_TRUE(test::PathExists(marker)) << WideToUtf8(folder);
    test::RemoveTestTree(folder + L"\\removal_safety_marker");
  }
}

TEST(RemovalSafety, TargetReachedThroughALinkIsJudgedWhereItLeads) {
  const std::wstring base = test::FreshTestFolder();
  ASSERT_TRUE(EnsureFolderLink(base + L"sys", ShellFolder(CSIDL_WINDOWS)));
  EXPECT_FALSE(IsSafeRemovalTarget(base + L"sys\\system32"));
  test::WriteFileBytes(base + L"sys\\Fonts\\removal_safety_marker.txt", "x");
  RemoveDirectoryTree(base + L"sys\\Fonts");
  EXPECT_TRUE(test::PathExists(ShellFolder(CSIDL_WINDOWS) + L"\\Fonts\\removal_safety_marker.txt"));
  ::DeleteFileW((ShellFolder(CSIDL_WINDOWS) + L"\\Fonts\\removal_safety_marker.txt").c_str());
}
