// The removal of a game's folders and shortcut from its profile, on a drive
// D: mapped to the test's own folder: what goes, in which order, and what a
// descriptor's names can never reach.

#include "cleanup/installation_removal.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "cleanup/path_operations.h"
#include "cleanup/platform_data.h"
#include "cleanup/tree_removal.h"
#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/harness.h"

namespace {

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
  return path;
}

}  // namespace

// Each case lays out files, removes with its profile and checks what must
// stay and what must go; the first also the order of the removed roots.
TEST(Installation, StepsReachOnlyTheGame) {
  const std::wstring base = test::FreshFolder(), desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\";
  const std::wstring menu = ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\", profile = ShellFolder(CSIDL_PROFILE);
  ASSERT_TRUE(test::MapDrive(L'D', base));
  const struct {
    const char* what;
    std::wstring install_dir, shortcut, cache, branch, install_name;
    std::vector<std::wstring> kept, gone;
    bool complete;
  } cases[] = {
      {"the library example", L"D:\\Lib\\G\\app\\", L"Lib Game", L"sdk_cache", L"7", L"LibGame",
       {L"D:\\Lib\\library.txt", L"D:\\Lib\\sdk_cache\\8\\o.bin"},
       {desktop + L"Lib Game.lnk", menu + L"LibGame\\Play.lnk", L"D:\\Lib\\G\\app\\res\\data\\init.dat",
        L"D:\\Lib\\G\\saves\\slot1.sav", L"D:\\Lib\\sdk_cache\\7\\blob.bin"}, true},
      {"installation folder not named app: no game root", L"D:\\Lib\\G\\game\\", L"", L"", L"", L"",
       {L"D:\\Lib\\G\\keep.txt"}, {L"D:\\Lib\\G\\game\\g.exe"}, true},
      {"app higher up", L"D:\\Lib\\app\\G\\", L"", L"", L"", L"", {L"D:\\Lib\\app\\keep.txt"}, {L"D:\\Lib\\app\\G\\g"}, true},
      {"App with a capital", L"D:\\Lib\\G\\App\\", L"", L"", L"", L"", {L"D:\\Lib\\G\\keep"}, {L"D:\\Lib\\G\\App\\g"}, true},
      {"app below the drive root: no game root", L"D:\\app\\", L"", L"sdk_cache", L"7", L"",
       {L"D:\\keep.txt", L"D:\\sdk_cache\\7\\keep.bin"}, {L"D:\\app\\g.exe"}, true},
      {"a drive root as library has no shared cache", L"D:\\G\\app\\", L"", L"sdk_cache", L"7", L"",
       {L"D:\\sdk_cache\\7\\keep.bin", L"C:\\work\\sdk_cache\\7\\keep.bin"}, {L"D:\\G\\app\\g.exe"}, true},
      {"nor a profile", profile + L"\\G\\app\\", L"", L"Documents", L"7", L"", {profile + L"\\Documents\\7\\k"},
       {profile + L"\\G\\app\\g.exe"}, true},
      {"cache and branch naming another game", L"D:\\Lib\\G\\app\\", L"", L"Other", L"app", L"",
       {L"D:\\Lib\\Other\\app\\res\\data\\init.dat"}, {L"D:\\Lib\\G\\app\\g.exe"}, true},
      {"another game inside the game root", L"D:\\Lib\\G\\app\\", L"", L"", L"", L"",
       {L"D:\\Lib\\G\\Other\\res\\data\\init.dat"}, {L"D:\\Lib\\G\\app\\g.exe"}, false},
      {"drive root as installation folder", L"D:\\", L"", L"", L"", L"", {L"D:\\keep.txt"}, {}, false},
      {"relative installation folder", L"Lib\\G\\app\\", L"", L"", L"", L"", {L"C:\\work\\Lib\\G\\app\\k"}, {}, false},
      {"in the Windows folder", L"C:\\windows\\Fonts\\app\\", L"", L"", L"", L"", {L"C:\\windows\\Fonts\\app\\k"}, {}, false},
      {"shortcut name climbing out", L"", L"..\\Keep Me", L"", L"", L"", {desktop + L"..\\Keep Me.lnk"}, {}, false},
      {"shortcut name a wildcard", L"", L"*", L"", L"", L"", {desktop + L"keep me.lnk"}, {}, false},
      {"a folder named like the shortcut", L"", L"Folder", L"", L"", L"", {desktop + L"Folder.lnk\\keep"}, {}, false},
      {"empty branch", L"D:\\Lib\\G\\app\\", L"", L"sdk_cache", L"", L"",
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\sdk_cache\\7\\keep.bin"}, {}, true},
      {"branch climbing to the library", L"D:\\Lib\\G\\app\\", L"", L"sdk_cache", L"..", L"",
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\keep.txt"}, {}, true},
      {"cache name naming a stream", L"D:\\Lib\\G\\app\\", L"", L"sdk_cache:x", L"7", L"",
       {L"D:\\Lib\\sdk_cache\\7\\keep.bin"}, {}, true},
      {"empty install name would name Programs", L"", L"", L"", L"", L"", {menu + L"Keep\\keep.lnk"}, {}, false},
      {"install name of dots and spaces", L"", L"", L"", L"", L". ", {menu + L"Keep\\keep.lnk"}, {}, false},
      {"missing installation folder: the other steps run", L"D:\\Lib\\Gone\\app\\", L"", L"sdk_cache", L"7",
       L"Gone", {}, {L"D:\\Lib\\sdk_cache\\7\\c.bin", menu + L"Gone\\p.lnk"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveTree(base);  // what one case leaves does not decide the next
    test::MakeFolders(base);
    for (const auto* files : {&c.kept, &c.gone})
      for (const std::wstring& file : *files) test::Write(file);
    GameProfile = {};
    GameProfile.install_dir = c.install_dir;
    GameProfile.shortcut_name = c.shortcut;
    GameProfile.cache_name = c.cache;
    GameProfile.branch_id = c.branch;
    GameProfile.install_name = c.install_name;
    std::wstring roots;
    SetRemovalObserverForTesting([&](const std::wstring& path, RemovalStep step) {
      for (const wchar_t* root : {L"\\Lib\\sdk_cache\\7", L"\\Lib\\G\\app", L"\\Lib\\G", L"\\LibGame"})
        if (step == RemovalStep::kRemoved && path.size() > wcslen(root) &&
            path.compare(path.size() - wcslen(root), std::wstring::npos, root) == 0)
          roots += root;
    });
    EXPECT_EQ(RemoveInstallation(), c.complete);
    SetRemovalObserverForTesting(nullptr);
    // The installation folder and the game root go last: until everything
    // else is gone, the uninstaller and the descriptor stay in them.
    if (c.shortcut == L"Lib Game") EXPECT_EQ(roots, L"\\Lib\\sdk_cache\\7\\LibGame\\Lib\\G\\app\\Lib\\G");
    for (const std::wstring& path : c.kept) EXPECT_TRUE(test::Exists(path)) << WideToUtf8(path);
    for (const std::wstring& path : c.gone) EXPECT_FALSE(test::Exists(path)) << WideToUtf8(path);
    for (const std::wstring& path : c.kept) ::DeleteFileW(path.c_str());
  }
  EXPECT_TRUE(DirectoryExists(menu));
  for (const std::wstring& folder : {std::wstring(L"C:\\work\\sdk_cache"), std::wstring(L"C:\\work\\Lib"),
                                     std::wstring(L"C:\\windows\\Fonts\\app"), desktop + L"Folder.lnk",
                                     menu + L"Keep", profile + L"\\Documents\\7"})
    test::RemoveTree(folder);
}

TEST(Installation, PlatformDataFolderIsComposedOnceAndCreated) {
  const std::wstring expected = ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Brimlake\\app\\";
  test::RemoveTree(expected);
  std::wstring first, second = L"stale";
  PlatformDataDirectory(first);
  EXPECT_EQ(first, expected);
  EXPECT_TRUE(DirectoryExists(first));
  test::RemoveTree(first);
  PlatformDataDirectory(second);
  EXPECT_EQ(second, expected);
  EXPECT_FALSE(test::Exists(first)) << "a later call must not touch the disk";
}
