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
  EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE));
  return path;
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

class Installation : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::MapDrive(L'D', base_)); }
  const std::wstring base_ = test::FreshFolder();
  const std::wstring desktop_ = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\";
  const std::wstring programs_ = ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\";
};

}  // namespace

TEST_F(Installation, LibraryExampleRemovesTheGamesFoldersInOrder) {
  for (const std::wstring& file :
       {desktop_ + L"Lib Example.lnk", programs_ + L"LibExample\\Play.lnk",
        std::wstring(L"D:\\Lib\\G\\app\\game.exe"), std::wstring(L"D:\\Lib\\G\\app\\res\\data\\init.dat"),
        std::wstring(L"D:\\Lib\\G\\saves\\slot1.sav"), std::wstring(L"D:\\Lib\\sdk_cache\\7\\blob.bin"),
        std::wstring(L"D:\\Lib\\sdk_cache\\8\\other.bin"), std::wstring(L"D:\\Lib\\library.txt")})
    test::Write(file);
  SetProfile(L"D:\\Lib\\G\\app\\", L"Lib Example", L"sdk_cache", L"7", L"LibExample");
  std::vector<std::wstring> roots;
  SetRemovalObserverForTesting([&](const std::wstring& path, RemovalStep step) {
    const size_t at = path.find(L"\\Lib\\");
    const std::wstring below = at == std::wstring::npos ? path : path.substr(at);
    if (step == RemovalStep::kRemoved &&
        (below == L"\\Lib\\sdk_cache\\7" || below == L"\\Lib\\G\\app" || below == L"\\Lib\\G" ||
         path == programs_ + L"LibExample"))
      roots.push_back(below);
  });
  EXPECT_TRUE(RemoveInstallation());
  SetRemovalObserverForTesting(nullptr);
  EXPECT_EQ(roots, (std::vector<std::wstring>{L"\\Lib\\sdk_cache\\7", L"\\Lib\\G\\app", L"\\Lib\\G",
                                              programs_ + L"LibExample"}));
  for (const std::wstring& gone : {desktop_ + L"Lib Example.lnk", programs_ + L"LibExample",
                                   std::wstring(L"D:\\Lib\\G"), std::wstring(L"D:\\Lib\\sdk_cache\\7")})
    EXPECT_FALSE(test::Exists(gone)) << WideToUtf8(gone);
  EXPECT_TRUE(test::Exists(L"D:\\Lib\\sdk_cache\\8\\other.bin"));
  EXPECT_TRUE(test::Exists(L"D:\\Lib\\library.txt"));
  EXPECT_TRUE(DirectoryExists(programs_));
}

// Each case lays out files, removes with its profile and checks what must
// stay and what must go.
TEST_F(Installation, StepsReachOnlyTheGame) {
  const std::wstring profile = ShellFolder(CSIDL_PROFILE);
  const struct {
    const char* what;
    std::wstring install_dir, shortcut, cache, branch, install_name;
    std::vector<std::wstring> kept, gone;
    bool complete;
  } cases[] = {
      {"installation folder not named app: no game root", L"D:\\Lib\\G\\game\\", L"", L"", L"", L"",
       {L"D:\\Lib\\G\\keep.txt"}, {L"D:\\Lib\\G\\game\\g.exe"}, true},
      {"app higher up in the path", L"D:\\Lib\\app\\G\\", L"", L"", L"", L"",
       {L"D:\\Lib\\app\\keep.txt"}, {L"D:\\Lib\\app\\G\\g.exe"}, true},
      {"App with a capital", L"D:\\Lib\\G\\App\\", L"", L"", L"", L"", {L"D:\\Lib\\G\\keep.txt"},
       {L"D:\\Lib\\G\\App\\g.exe"}, true},
      {"app below the drive root: the root is no game root", L"D:\\app\\", L"", L"sdk_cache", L"7",
       L"", {L"D:\\keep.txt", L"D:\\sdk_cache\\7\\keep.bin"}, {L"D:\\app\\g.exe"}, true},
      {"a library that is a drive root has no shared cache", L"D:\\G\\app\\", L"", L"sdk_cache",
       L"7", L"", {L"D:\\sdk_cache\\7\\keep.bin", L"C:\\work\\sdk_cache\\7\\keep.bin"},
       {L"D:\\G\\app\\g.exe"}, true},
      {"nor one that is a profile", profile + L"\\G\\app\\", L"", L"Documents", L"7", L"",
       {profile + L"\\Documents\\7\\keep.bin"}, {profile + L"\\G\\app\\g.exe"}, true},
      {"cache and branch naming another game", L"D:\\Lib\\G\\app\\", L"", L"Other", L"app", L"",
       {L"D:\\Lib\\Other\\app\\res\\data\\init.dat"}, {L"D:\\Lib\\G\\app\\g.exe"}, true},
      {"another game inside the game root keeps the root", L"D:\\Lib\\G\\app\\", L"", L"", L"", L"",
       {L"D:\\Lib\\G\\Other\\res\\data\\init.dat"}, {L"D:\\Lib\\G\\app\\g.exe"}, false},
      {"drive root as installation folder", L"D:\\", L"", L"", L"", L"", {L"D:\\keep.txt"}, {}, false},
      {"relative installation folder", L"Lib\\G\\app\\", L"", L"", L"", L"",
       {L"C:\\work\\Lib\\G\\app\\keep.txt"}, {}, false},
      {"installation folder in the Windows folder", L"C:\\windows\\Fonts\\app\\", L"", L"", L"", L"",
       {L"C:\\windows\\Fonts\\app\\keep.txt"}, {}, false},
      {"shortcut name climbing out of the desktop", L"", L"..\\Keep Me", L"", L"", L"",
       {desktop_ + L"..\\Keep Me.lnk"}, {}, false},
      {"shortcut name with a wildcard", L"", L"*", L"", L"", L"", {desktop_ + L"keep me.lnk"}, {},
       false},
      {"a folder named like the shortcut", L"", L"Folder Game", L"", L"", L"",
       {desktop_ + L"Folder Game.lnk\\keep.txt"}, {}, false},
      {"empty branch leaves the cache alone", L"D:\\Lib\\G\\app\\", L"", L"sdk_cache", L"", L"",
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\sdk_cache\\7\\keep.bin"}, {}, true},
      {"branch climbing to the library", L"D:\\Lib\\G\\app\\", L"", L"sdk_cache", L"..", L"",
       {L"D:\\Lib\\sdk_cache\\keep.bin", L"D:\\Lib\\keep.txt"}, {}, true},
      {"cache name naming a stream", L"D:\\Lib\\G\\app\\", L"", L"sdk_cache:x", L"7", L"",
       {L"D:\\Lib\\sdk_cache\\7\\keep.bin"}, {}, true},
      {"empty install name would name Programs itself", L"", L"", L"", L"", L"",
       {programs_ + L"KeepGame\\keep.lnk"}, {}, false},
      {"install name of dots and spaces", L"", L"", L"", L"", L". ",
       {programs_ + L"KeepGame\\keep.lnk"}, {}, false},
      {"missing installation folder: the other steps still run", L"D:\\Lib\\Gone\\app\\", L"",
       L"sdk_cache", L"7", L"GoneGame", {}, {L"D:\\Lib\\sdk_cache\\7\\c.bin", programs_ + L"GoneGame\\p.lnk"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveTree(base_);  // what one case leaves does not decide the next
    test::MakeFolders(base_);
    for (const auto* files : {&c.kept, &c.gone})
      for (const std::wstring& file : *files) test::Write(file);
    SetProfile(c.install_dir, c.shortcut, c.cache, c.branch, c.install_name);
    EXPECT_EQ(RemoveInstallation(), c.complete);
    for (const std::wstring& path : c.kept)
      EXPECT_TRUE(test::Exists(path)) << WideToUtf8(path);
    for (const std::wstring& path : c.gone)
      EXPECT_FALSE(test::Exists(path)) << WideToUtf8(path);
    for (const std::wstring& path : c.kept) ::DeleteFileW(path.c_str());
  }
  for (const wchar_t* folder : {L"C:\\work\\sdk_cache", L"C:\\work\\Lib", L"C:\\windows\\Fonts\\app"})
    test::RemoveTree(folder);
  test::RemoveTree(desktop_ + L"Folder Game.lnk");
  test::RemoveTree(programs_ + L"KeepGame");
  test::RemoveTree(profile + L"\\Documents\\7");
}

TEST(PlatformData, LocalAppDataFolderComposedOnceAndCreated) {
  const std::wstring expected = ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Brimlake\\app\\";
  test::RemoveTree(expected);
  std::wstring first;
  PlatformDataDirectory(first);
  EXPECT_EQ(first, expected);
  EXPECT_TRUE(DirectoryExists(first));
  test::RemoveTree(first);
  std::wstring second = L"stale";
  PlatformDataDirectory(second);
  EXPECT_EQ(second, expected);
  EXPECT_FALSE(test::Exists(first)) << "a later call must not touch the disk";
}
