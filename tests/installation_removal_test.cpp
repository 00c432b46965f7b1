#include "cleanup/installation_removal.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "cleanup/path_operations.h"
#include "cleanup/platform_data.h"
#include "cleanup/tree_removal.h"
#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/test_support.h"

namespace {

std::wstring ShellFolder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE));
  return buffer;
}

void Touch(const std::wstring& path) { test::WriteFileBytes(path, "x"); }

// The test folder, mapped as drive D:, with D:\Lib\G\app\ as the game.
std::wstring MapLibraryDrive() {
  const std::wstring folder = test::FreshTestFolder();
  EXPECT_TRUE(test::MapDrive(L'D', folder));
  return folder;
}

void SetProfile(const std::wstring& install_dir, const std::wstring& shortcut,
                const std::wstring& cache, const std::wstring& branch,
                const std::wstring& install_name) {
  ResetGameProfile();
  GameProfile.install_dir = install_dir;
  GameProfile.shortcut_name = shortcut;
  GameProfile.cache_name = cache;
  GameProfile.branch_id = branch;
  GameProfile.install_name = install_name;
}

}  // namespace

TEST(Installation, LibraryExampleRemovesTheGamesFoldersInOrder) {
  MapLibraryDrive();
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
  const std::wstring programs = ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\";
  const std::wstring shortcut = desktop + L"\\Lib Example Game.lnk";
  Touch(shortcut);
  Touch(programs + L"LibExampleGame\\Play.lnk");
  Touch(L"D:\\Lib\\G\\app\\game.exe");
  Touch(L"D:\\Lib\\G\\app\\res\\data\\init.dat");
  Touch(L"D:\\Lib\\G\\saves\\slot1.sav");
  Touch(L"D:\\Lib\\sdk_cache\\7\\blob.bin");
  Touch(L"D:\\Lib\\sdk_cache\\8\\other_branch.bin");
  Touch(L"D:\\Lib\\library.txt");
  SetProfile(L"D:\\Lib\\G\\app\\", L"Lib Example Game", L"sdk_cache", L"7", L"LibExampleGame");

  std::vector<std::wstring> roots;
  SetRemovalObserverForTesting([&roots](const std::wstring& path, bool removed) {
    for (const wchar_t* root : {L"\\\\?\\D:\\Lib\\sdk_cache\\7", L"\\\\?\\D:\\Lib\\G\\app",
                                L"\\\\?\\D:\\Lib\\G"}) {
      if (path == root && removed) roots.push_back(path.substr(4));
    }
    if (path.size() > 15 && path.compare(path.size() - 15, 15, L"\\LibExampleGame") == 0 &&
        removed)
      roots.push_back(L"start menu");
  });
  RemoveInstallation();
  SetRemovalObserverForTesting(nullptr);

  EXPECT_EQ(roots, (std::vector<std::wstring>{L"D:\\Lib\\sdk_cache\\7", L"D:\\Lib\\G\\app",
                                              L"D:\\Lib\\G", L"start menu"}));
  EXPECT_FALSE(test::PathExists(shortcut));
  EXPECT_FALSE(test::PathExists(programs + L"LibExampleGame"));
  EXPECT_FALSE(test::PathExists(L"D:\\Lib\\G"));
  EXPECT_FALSE(test::PathExists(L"D:\\Lib\\sdk_cache\\7"));
  EXPECT_TRUE(test::PathExists(L"D:\\Lib\\sdk_cache\\8\\other_branch.bin"));
  EXPECT_TRUE(test::PathExists(L"D:\\Lib\\library.txt"));
  EXPECT_TRUE(DirectoryExists(programs));
}

// Each case sets up files, runs RemoveInstallation with its profile, and
// checks what must stay and what must go.
TEST(Installation, StepsLimitedToTheGame) {
  MapLibraryDrive();
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\";
  const std::wstring programs = ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\";
  const struct {
    const char* what;
    std::wstring install_dir, shortcut, cache, branch, install_name;
    std::vector<std::wstring> files;
    std::vector<std::wstring> kept;
    std::vector<std::wstring> gone;
  } cases[] = {
      {"install folder not named app: no game root",
       L"D:\\Lib\\G\\game\\", L"", L"", L"", L"",
       {L"D:\\Lib\\G\\game\\g.exe", L"D:\\Lib\\G\\keep.txt"},
       {L"D:\\Lib\\G\\keep.txt"}, {L"D:\\Lib\\G\\game"}},
      {"app higher up in the path",
       L"D:\\Lib\\app\\G\\", L"", L"", L"", L"",
       {L"D:\\Lib\\app\\G\\g.exe", L"D:\\Lib\\app\\keep.txt", L"D:\\Lib\\keep.txt"},
       {L"D:\\Lib\\app\\keep.txt", L"D:\\Lib\\keep.txt"}, {L"D:\\Lib\\app\\G"}},
      {"App with a capital",
       L"D:\\Lib\\G\\App\\", L"", L"", L"", L"",
       {L"D:\\Lib\\G\\App\\g.exe", L"D:\\Lib\\G\\keep.txt"},
       {L"D:\\Lib\\G\\keep.txt"}, {L"D:\\Lib\\G\\App"}},
      {"app directly below the drive root: the root is not a game root",
       L"D:\\app\\", L"", L"sdk_cache", L"7", L"",
       {L"D:\\app\\g.exe", L"D:\\keep.txt", L"D:\\Lib\\keep.txt"},
       {L"D:\\keep.txt", L"D:\\Lib\\keep.txt"}, {L"D:\\app"}},
      {"cache path without a drive is skipped",
       L"D:\\G\\", L"", L"sdk_cache", L"7", L"",
       {L"D:\\G\\g.exe", L"C:\\work\\sdk_cache\\7\\keep.bin", L"D:\\sdk_cache\\7\\keep.bin"},
       {L"C:\\work\\sdk_cache\\7\\keep.bin", L"D:\\sdk_cache\\7\\keep.bin"}, {L"D:\\G"}},
      {"drive root as installation folder",
       L"D:\\", L"", L"", L"", L"",
       {L"D:\\keep.txt", L"D:\\Lib\\keep.txt"}, {L"D:\\keep.txt", L"D:\\Lib\\keep.txt"}, {}},
      {"relative installation folder",
       L"Lib\\G\\app\\", L"", L"", L"", L"",
       {L"C:\\work\\Lib\\G\\app\\keep.txt"}, {L"C:\\work\\Lib\\G\\app\\keep.txt"}, {}},
      {"installation folder in the Windows folder",
       L"C:\\windows\\Fonts\\app\\", L"", L"", L"", L"",
       {L"C:\\windows\\Fonts\\app\\keep.txt"}, {L"C:\\windows\\Fonts\\app\\keep.txt"}, {}},
      {"shortcut name climbing out of the desktop",
       L"", L"..\\Keep Me", L"", L"", L"",
       {desktop + L"..\\Keep Me.lnk"}, {desktop + L"..\\Keep Me.lnk"}, {}},
      {"shortcut name with a wildcard",
       L"", L"*", L"", L"", L"",
       {desktop + L"keep me.lnk"}, {desktop + L"keep me.lnk"}, {}},
      {"a folder named like the shortcut",
       L"", L"Folder Game", L"", L"", L"",
       {desktop + L"Folder Game.lnk\\keep.txt"}, {desktop + L"Folder Game.lnk\\keep.txt"}, {}},
      {"empty branch leaves the cache alone",
       L"D:\\Lib\\G\\app\\", L"", L"sdk_cache", L"", L"",
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\sdk_cache\\7\\keep.bin"},
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\sdk_cache\\7\\keep.bin"}, {}},
      {"branch climbing to the library",
       L"D:\\Lib\\G\\app\\", L"", L"sdk_cache", L"..", L"",
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\keep.txt"},
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\keep.txt"}, {}},
      {"cache name naming a stream",
       L"D:\\Lib\\G\\app\\", L"", L"sdk_cache:x", L"7", L"",
       {L"D:\\Lib\\sdk_cache\\7\\keep.bin"}, {L"D:\\Lib\\sdk_cache\\7\\keep.bin"}, {}},
      {"empty install name would name Programs itself",
       L"", L"", L"", L"", L"",
       {programs + L"KeepGame\\keep.lnk"}, {programs + L"KeepGame\\keep.lnk"}, {}},
      {"install name of dots and spaces",
       L"", L"", L"", L"", L". ",
       {programs + L"KeepGame\\keep.lnk"}, {programs + L"KeepGame\\keep.lnk"}, {}},
      {"missing installation folder: the other steps still run",
       L"D:\\Lib\\Gone\\app\\", L"", L"sdk_cache", L"7", L"GoneGame",
       {L"D:\\Lib\\sdk_cache\\7\\c.bin", programs + L"GoneGame\\p.lnk"}, {},
       {L"D:\\Lib\\sdk_cache\\7", programs + L"GoneGame"}},
  };
  for (const auto& c : cases) {
    for (const std::wstring& file : c.files) Touch(file);
    SetProfile(c.install_dir, c.shortcut, c.cache, c.branch, c.install_name);
    RemoveInstallation();
    for (const std::wstring& path : c.kept)
      EXPECT_TRUE(test::PathExists(path)) << c.what << ": " << WideToUtf8(path);
    for (const std::wstring& path : c.gone)
      EXPECT_FALSE(test::PathExists(path)) << c.what << ": " << WideToUtf8(path);
    for (const std::wstring& file : c.files) {
      ::DeleteFileW(file.c_str());
      // Folders the case made below the test roots go with it.
    }
  }
  test::RemoveTestTree(L"C:\\work\\sdk_cache");
  test::RemoveTestTree(L"C:\\work\\Lib");
  test::RemoveTestTree(L"C:\\windows\\Fonts\\app");
  test::RemoveTestTree(desktop + L"Folder Game.lnk");
  test::RemoveTestTree(programs + L"KeepGame");
}

TEST(PlatformData, LocalAppDataFolderComposedOnceAndCreated) {
  const std::wstring expected = ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Brimlake\\app\\";
  test::RemoveTestTree(expected);
  std::wstring first;
  PlatformDataDirectory(first);
  EXPECT_EQ(first, expected);
  EXPECT_TRUE(DirectoryExists(first));

  test::RemoveTestTree(first);
  std::wstring second = L"stale";
  PlatformDataDirectory(second);
  EXPECT_EQ(second, expected);
  EXPECT_FALSE(test::PathExists(first)) << "a later call must not touch the disk";
}
