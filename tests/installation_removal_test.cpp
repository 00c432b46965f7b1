// The removal of a game's folders and shortcut from its profile, on a drive
// D: mapped to the test's own folder: what goes, in which order, and what a
// descriptor's names can never reach.

#include "cleanup/installation_removal.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "cleanup/files/path_operations.h"
#include "cleanup/platform_data.h"
#include "cleanup/files/tree_removal.h"
#include "cleanup/shortcut_removal.h"
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

// Each case lays out files ("path|target" a real shortcut, "path>target" a
// link), removes with its profile and checks what must stay and what must
// go; the first also the order of the removed roots.
TEST(Installation, StepsReachOnlyTheGame) {
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\";
  const std::wstring menu = ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\", profile = ShellFolder(CSIDL_PROFILE);
  ASSERT_TRUE(test::MapDrive(L'D'));
  const struct {
    const char* what;
    std::wstring install_dir, shortcut, cache, branch, install_name;
    std::vector<std::wstring> kept, gone;
    bool complete;
  } cases[] = {
      {"the library example", L"D:\\Lib\\G\\app\\", L"Lib Game", L"sdk_cache", L"7", L"LibGame",
       {L"D:\\Lib\\library.txt", L"D:\\Lib\\sdk_cache\\8\\o.bin"},
       {desktop + L"Lib Game.lnk|D:\\Lib\\G\\app\\g.exe", menu + L"LibGame\\Play.lnk|D:\\Lib\\G\\app\\g.exe",
        L"D:\\Lib\\G\\app\\res\\data\\init.dat",
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
      {"another game inside the game root: nothing goes", L"D:\\Lib\\G\\app\\", L"", L"", L"", L"",
       {L"D:\\Lib\\G\\Other\\res\\data\\init.dat", L"D:\\Lib\\G\\app\\g.exe"}, {}, false},
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
       L"Gone", {}, {L"D:\\Lib\\sdk_cache\\7\\c.bin", menu + L"Gone\\p.lnk|D:\\Lib\\Gone\\app\\p.exe"}, true},
      {"another program's shortcut; in the game's menu folder only its own shortcuts go", L"D:\\Lib\\G\\app\\",
       L"Other Game", L"", L"", L"Mixed",
       {desktop + L"Other Game.lnk|D:\\Lib\\Other\\o.exe", menu + L"Mixed\\Other.lnk|D:\\Lib\\G\\apps\\o.exe",
        menu + L"Mixed\\Site.url", menu + L"Mixed\\Tools\\t.lnk|D:\\Lib\\G\\app\\t.exe"},
       {menu + L"Mixed\\Play.lnk|D:\\Lib\\G\\app\\g.exe", menu + L"Mixed\\Read me.lnk|d:\\lib\\g\\APP\\readme.txt"}, true},
      {"files named like shortcuts that are none", L"D:\\Lib\\G\\app\\", L"Fake", L"", L"", L"Fake",
       {desktop + L"Fake.lnk", menu + L"Fake\\fake.lnk"}, {}, true},
      {"links in place of the shortcut and the menu folder", L"D:\\Lib\\G\\app\\", L"Linked", L"", L"", L"Linked",
       {L"D:\\Lib\\Decoy\\g.lnk|D:\\Lib\\G\\app\\g.exe", desktop + L"Linked.lnk>D:\\Lib\\Decoy\\g.lnk",
        menu + L"Linked>D:\\Lib\\Decoy"}, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // What one case leaves does not decide the next.
    WIN32_FIND_DATAW entry;
    for (UniqueFind find(::FindFirstFileW(L"D:\\*", &entry)); find;)
      if (std::wstring(entry.cFileName) != L"." && std::wstring(entry.cFileName) != L"..") {
        test::RemoveTree(std::wstring(L"D:\\") + entry.cFileName);
        find.reset(::FindFirstFileW(L"D:\\*", &entry));
      } else if (!::FindNextFileW(find.get(), &entry)) {
        break;
      }
    for (const auto* files : {&c.kept, &c.gone})
      for (const std::wstring& file : *files) {
        const size_t mark = file.find_first_of(L"|>");
        if (mark == std::wstring::npos) test::Write(file);
        else if (file[mark] == L'|') test::MakeShortcut(file.substr(0, mark), file.substr(mark + 1));
        else test::Link(file.substr(0, mark), file.substr(mark + 1));
      }
    GameProfile = {};
    GameProfile.install_dir = c.install_dir;
    GameProfile.shortcut_name = c.shortcut;
    GameProfile.cache_name = c.cache;
    GameProfile.branch_id = c.branch;
    GameProfile.install_name = c.install_name;
    std::wstring roots;
    SetRemovalObserverForTesting([&](const std::wstring& path, RemovalStep step) {
      for (const wchar_t* root : {L"\\Lib Game.lnk", L"\\Lib\\sdk_cache\\7", L"\\Lib\\G\\app", L"\\Lib\\G", L"\\LibGame"})
        if (step == RemovalStep::kRemoved && path.size() > wcslen(root) &&
            path.compare(path.size() - wcslen(root), std::wstring::npos, root) == 0)
          roots += root;
    });
    EXPECT_EQ(RemoveInstallation(), c.complete);
    SetRemovalObserverForTesting(nullptr);
    // The installation folder and the game root go last: until everything
    // else is gone, the uninstaller and the descriptor stay in them.
    if (c.shortcut == L"Lib Game")
      EXPECT_EQ(roots, L"\\Lib Game.lnk\\Lib\\sdk_cache\\7\\LibGame\\Lib\\G\\app\\Lib\\G");
    const auto path_of = [](const std::wstring& entry) { return entry.substr(0, entry.find_first_of(L"|>")); };
    for (const std::wstring& entry : c.kept) EXPECT_TRUE(test::Exists(path_of(entry))) << WideToUtf8(entry);
    for (const std::wstring& entry : c.gone) EXPECT_FALSE(test::Exists(path_of(entry))) << WideToUtf8(entry);
    for (auto entry = c.kept.rbegin(); entry != c.kept.rend(); ++entry)  // links before their targets
      if (entry->find(L'>') != std::wstring::npos) test::RemoveTree(path_of(*entry));
      else ::DeleteFileW(path_of(*entry).c_str());
  }
  EXPECT_TRUE(DirectoryExists(menu));
  for (const std::wstring& folder : {std::wstring(L"C:\\work\\sdk_cache"), std::wstring(L"C:\\work\\Lib"),
                                     std::wstring(L"C:\\windows\\Fonts\\app"), desktop + L"Folder.lnk",
                                     menu + L"Keep", menu + L"Mixed", menu + L"Fake", profile + L"\\Documents\\7"})
    test::RemoveTree(folder);
}

// A shortcut whose target is on the network is never the game's, not even
// when the installation is named by that very path: deciding so needs no
// look at the target, so no host a planted shortcut names is contacted.
TEST(Installation, ShortcutsIntoTheNetworkAreNeverTheGames) {
  ASSERT_TRUE(test::MapDrive(L'D'));
  ASSERT_TRUE(test::MapDrive(L'N', L"", /*remote=*/true));
  const std::wstring folder = test::FreshFolder();
  const struct {
    const char* what;
    std::wstring target, installation;
    bool gone;
  } cases[] = {
      {"on a local drive: the game's", L"D:\\G\\app\\g.exe", L"D:\\G\\app", true},
      {"on a network drive", L"N:\\G\\app\\g.exe", L"N:\\G\\app", false},
      {"on a share", L"\\\\host\\share\\G\\app\\g.exe", L"\\\\host\\share\\G\\app", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.target[0] != L'\\') test::Write(c.target);
    test::MakeShortcut(folder + L"Play.lnk", c.target);
    ASSERT_TRUE(test::Exists(folder + L"Play.lnk"));
    EXPECT_EQ(RemoveGameShortcut(folder, L"Play.lnk", {c.installation}), c.gone);
    EXPECT_EQ(test::Exists(folder + L"Play.lnk"), !c.gone);
  }
}

TEST(Installation, PlatformDataFolderIsComposedOnceAndCreatedOnlyAsPlainFolders) {
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

  // The walk that creates it: nothing is ever created behind a link.
  const struct {
    const char* what;
    std::wstring layout;
    bool made;
  } cases[] = {
      {"nothing there yet", L"", true},
      {"the platform's folder there", L"Brimlake/", true},
      {"a link in place of the platform's folder", L"elsewhere/ Brimlake>elsewhere", false},
      {"a file in its place", L"Brimlake", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring base = test::FreshFolder();
    test::LayOut(base, c.layout);
    EXPECT_EQ(CreatePlainFolders(base, L"Brimlake\\app"), c.made);
    EXPECT_EQ(DirectoryExists(base + L"Brimlake\\app"), c.made);
    EXPECT_FALSE(test::Exists(base + L"elsewhere\\app"));
  }
}

// What the removal acts on is held from before the question: the
// installation folder and, above it, the game root and the library. Each row
// holds them, does something meanwhile, then removes: what is held cannot be
// renamed; what is no longer where it was held (swapped from the Unix side,
// as no share mode stands in its way there) leaves everything outside the
// installation folder; and what is left after the rest went is opened for
// deletion, sharing nothing, before it is deleted, or nothing more goes.
TEST(Installation, WhatWasHeldIsWhatGoes) {
  ASSERT_TRUE(test::MapDrive(L'D'));
  const std::wstring lib = L"D:\\Games\\Lib\\", app = lib + L"G\\app\\";
  const std::vector<std::wstring> layout = {app + L"uninstall.exe", app + L"res\\data\\init.dat", app + L"g.exe",
                                            lib + L"G\\saves\\s1", lib + L"sdk_cache\\7\\c.bin", lib + L"Vendor\\v.bin",
                                            L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"};
  const auto moved = [](const std::wstring& path) {  // where a swap puts the folder `path` begins with
    return [path](const std::wstring& file) { return path + L".moved" + file.substr(path.size()); };
  };
  const auto hold = [](const std::wstring& file) {  // another program reads it, sharing reading only
    return UniqueFileHandle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  };
  const struct {
    const char* what;
    std::function<UniqueFileHandle()> meanwhile;
    bool complete;
    std::vector<std::wstring> kept;  // where they are after the move, if any; the rest of the layout goes
  } cases[] = {
      {"nothing happens", [] { return UniqueFileHandle(); }, true, {lib + L"Vendor\\v.bin", L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      {"the installation, the game root and the library cannot be renamed",
       [&] {
         for (const std::wstring& folder : {app.substr(0, app.size() - 1), lib + L"G", lib.substr(0, lib.size() - 1)})
           EXPECT_FALSE(::MoveFileW(folder.c_str(), (folder + L"2").c_str())) << WideToUtf8(folder);
         return UniqueFileHandle();
       },
       true, {lib + L"Vendor\\v.bin", L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      {"the installation folder swapped for a link to another program's folder",
       [&] { EXPECT_TRUE(test::Swap(app.substr(0, app.size() - 1), lib + L"Vendor")); return UniqueFileHandle(); }, false,
       {moved(app.substr(0, app.size() - 1))(app + L"uninstall.exe"), moved(app.substr(0, app.size() - 1))(app + L"g.exe"),
        lib + L"G\\saves\\s1", lib + L"sdk_cache\\7\\c.bin", lib + L"Vendor\\v.bin", L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      {"the game root swapped for a link to another program's folder",
       [&] { EXPECT_TRUE(test::Swap(lib + L"G", lib + L"Vendor")); return UniqueFileHandle(); }, false,
       {moved(lib + L"G")(lib + L"G\\saves\\s1"), moved(lib + L"G")(app + L"g.exe"), lib + L"sdk_cache\\7\\c.bin", lib + L"Vendor\\v.bin",
        L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      {"the library swapped for a link to another library",
       [&] { EXPECT_TRUE(test::Swap(lib.substr(0, lib.size() - 1), L"D:\\Games\\Else")); return UniqueFileHandle(); }, false,
       {moved(L"D:\\Games\\Lib")(lib + L"sdk_cache\\7\\c.bin"), moved(L"D:\\Games\\Lib")(lib + L"G\\saves\\s1"),
        moved(L"D:\\Games\\Lib")(lib + L"Vendor\\v.bin"), L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      // Wine lets a folder above held folders be renamed; the held ones
      // keep their old names there, so even the installation stays.
      {"the folder above the library renamed",
       [] { EXPECT_TRUE(::MoveFileW(L"D:\\Games", L"D:\\Games.moved")); return UniqueFileHandle(); }, false,
       {L"D:\\Games.moved\\Lib\\sdk_cache\\7\\c.bin", L"D:\\Games.moved\\Lib\\G\\saves\\s1", L"D:\\Games.moved\\Lib\\Vendor\\v.bin"}},
      {"the uninstaller held by another program", [&] { return hold(app + L"uninstall.exe"); }, false,
       {app + L"uninstall.exe", app + L"res\\data\\init.dat", lib + L"Vendor\\v.bin", L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      {"the descriptor held by another program", [&] { return hold(app + L"res\\data\\init.dat"); }, false,
       {app + L"uninstall.exe", app + L"res\\data\\init.dat", lib + L"Vendor\\v.bin", L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      // The walk deletes it, but its name stays while the other program
      // holds it: the installation folder is not empty, and the rest stays.
      {"a file at the top held open by another program that lets it be deleted",
       [&] {
         return UniqueFileHandle(::CreateFileW((app + L"g.exe").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
       },
       false,
       {app + L"uninstall.exe", app + L"res\\data\\init.dat", app + L"g.exe", lib + L"Vendor\\v.bin",
        L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
      {"a read-only uninstaller",
       [&] { ::SetFileAttributesW((app + L"uninstall.exe").c_str(), FILE_ATTRIBUTE_READONLY); return UniqueFileHandle(); }, false,
       {app + L"uninstall.exe", app + L"res\\data\\init.dat", lib + L"Vendor\\v.bin", L"D:\\Games\\Else\\sdk_cache\\7\\e.bin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const wchar_t* top : {L"D:\\Games", L"D:\\Games.moved"}) test::RemoveTree(top);
    for (const std::wstring& file : layout) test::Write(file);
    GameProfile = {};
    GameProfile.install_dir = app;
    GameProfile.cache_name = L"sdk_cache";
    GameProfile.branch_id = L"7";
    HeldInstallation held(HoldFolderForRemoval(app, FileIdentity()));
    EXPECT_EQ(held.Refusal(), L"");
    const UniqueFileHandle other = c.meanwhile();
    EXPECT_EQ(RemoveRemainder(HoldRemainder(RemoveAllButUninstaller(std::move(held), L"uninstall.exe"))), c.complete);
    for (const std::wstring& file : c.kept) EXPECT_TRUE(test::Exists(file)) << WideToUtf8(file);
    for (const std::wstring& file : layout)
      if (std::find(c.kept.begin(), c.kept.end(), file) == c.kept.end()) EXPECT_FALSE(test::Exists(file)) << WideToUtf8(file);
    if (c.complete) EXPECT_FALSE(test::Exists(lib + L"G")) << "the game root went";
  }
  for (const wchar_t* top : {L"D:\\Games", L"D:\\Games.moved"}) test::RemoveTree(top);
}

// What the removal refuses is known while the folders are held, before the
// question, so that nobody is asked for a removal that cannot happen.
TEST(Installation, WhatTheRemovalRefusesIsKnownBeforeTheQuestion) {
  ASSERT_TRUE(test::MapDrive(L'D'));
  const struct {
    const char* what;
    std::wstring layout;       // in D:\Lib, "x>y" a link
    std::wstring install_dir;  // in D:\Lib
    std::wstring refused;      // "" none
  } cases[] = {
      {"a game and its root", L"G/app/g.exe G/saves/s", L"G\\app\\", L""},
      {"another game's layout nested in the installation", L"G/app/tools/res/data/init.dat", L"G\\app\\",
       L"D:\\Lib\\G\\app\\"},
      {"another game in the game root", L"G/app/g.exe G/Other/res/data/init.dat", L"G\\app\\", L"D:\\Lib\\G"},
      {"without a game root, another game beside it is no concern", L"G/game/g.exe G/Other/res/data/init.dat",
       L"G\\game\\", L""},
      {"a link in place of the installation folder", L"Real/app/g.exe G/ G/app>D:\\Lib\\Real\\app", L"G\\app\\",
       L"D:\\Lib\\G\\app\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveTree(L"D:\\Lib");
    std::wistringstream entries(c.layout);
    for (std::wstring entry; entries >> entry;) {
      for (wchar_t& ch : entry) ch = ch == L'/' ? L'\\' : ch;
      const size_t link = entry.find(L'>');
      if (link != std::wstring::npos) EXPECT_TRUE(test::Link(L"D:\\Lib\\" + entry.substr(0, link), entry.substr(link + 1)));
      else if (entry.back() == L'\\') test::MakeFolders(L"D:\\Lib\\" + entry);
      else test::Write(L"D:\\Lib\\" + entry);
    }
    test::Write(L"D:\\Lib\\" + c.install_dir + L"res\\data\\init.dat");
    GameProfile = {};
    GameProfile.install_dir = L"D:\\Lib\\" + c.install_dir;
    const HeldInstallation held(HoldFolderForRemoval(GameProfile.install_dir, FileIdentity()));
    EXPECT_EQ(held.Refusal(), c.refused);
  }
  test::RemoveTree(L"D:\\Lib");
}
