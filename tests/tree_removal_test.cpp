// Tree removal through handles on the real (Wine) file system: its orders
// and results, links there from the start or swapped in at each dangerous
// moment, and the folders its judge refuses.

#include "cleanup/files/tree_removal.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "cleanup/files/shell_folders.h"
#include "common/text.h"
#include "tests/support/harness.h"

namespace {

using test::Exists;

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, csidl, nullptr, 0, path);
  return path;
}

void Remove(const std::wstring& root) { RemoveDirectoryTree(OpenFolderForRemoval(root)); }

// What a removal below `root` did, in its order: "a\f2 a\b\f1 ... ." with "!"
// after what was left and "." for the root; `swap` (a relative path) is
// replaced by a link to `target` at the step `at`.
std::wstring Removal(const std::wstring& root, const wchar_t* at = nullptr,
                     RemovalStep step = RemovalStep::kListed, const wchar_t* swap = nullptr,
                     const std::wstring& target = L"") {
  std::wstring steps;
  SetRemovalObserverForTesting([&](const std::wstring& path, RemovalStep done) {
    const size_t cut = root.size() - 1;  // root ends in "\"
    if (path.compare(0, cut, root, 0, cut) != 0) return;
    const std::wstring relative = path.size() > cut ? path.substr(cut + 1) : L".";
    if (at != nullptr && relative == at && done == step) {
      EXPECT_TRUE(test::Swap(root + swap, target));
      at = nullptr;
    }
    if (done != RemovalStep::kListed)
      steps += (steps.empty() ? L"" : L" ") + relative + (done == RemovalStep::kLeft ? L"!" : L"");
  });
  Remove(root);
  SetRemovalObserverForTesting(nullptr);
  EXPECT_EQ(at, nullptr) << "the swap never came";
  return steps;
}

}  // namespace

TEST(TreeRemoval, OrdersResultsAndListings) {
  const std::wstring base = test::FreshFolder(), root = base + L"R\\";
  test::LayOut(root, L"f3 a/f2 a/b/f1 c/ e/");
  PathList list;
  EXPECT_TRUE(CollectSubdirectories(root, list, L"*"));
  // Children are formed as root + "\" + name, doubled separator included.
  EXPECT_EQ(list, (PathList{root + L"\\a", root + L"\\c", root + L"\\e", root + L"\\a\\b"}));
  EXPECT_TRUE(CollectFilesRecursive(root, list, L"*", L"*.*"));
  EXPECT_EQ(list, (PathList{root + L"\\a\\f2", root + L"\\a\\b\\f1", root + L"\\f3"}));
  EXPECT_TRUE(CollectFilesRecursive(root, list, L"*", L"f1*"));
  EXPECT_EQ(list, PathList{root + L"\\a\\b\\f1"});
  EXPECT_TRUE(ListFiles(root + L"a", list, L"*.*"));
  EXPECT_EQ(list, PathList{root + L"a\\f2"});
  EXPECT_FALSE(ListFiles(root + L"c", list, L"*.*"));
  EXPECT_FALSE(DeleteAllFiles(OpenFolderForRemoval(root + L"e")));        // no file
  EXPECT_TRUE(RemoveAllSubdirectories(OpenFolderForRemoval(root + L"e")));  // no folder
  EXPECT_EQ(Removal(root), L"a\\f2 a\\b\\f1 f3 a\\b e c a .");
  EXPECT_FALSE(Exists(root));
  EXPECT_TRUE(Exists(base));

  // A read-only file stays with every folder above it, its attribute as it was.
  test::LayOut(root, L"f3 a/f2! a/b/f1 c/");
  EXPECT_FALSE(DeleteAllFiles(OpenFolderForRemoval(root + L"a")));  // a\b\f1 goes, a\f2 last fails
  EXPECT_TRUE(DeleteAllFiles(OpenFolderForRemoval(root)));           // f3 comes last
  test::LayOut(root, L"f3 a/b/f1");
  EXPECT_EQ(Removal(root), L"a\\f2! a\\b\\f1 f3 a\\b c a! .!");
  EXPECT_EQ(::GetFileAttributesW((root + L"a\\f2").c_str()) & FILE_ATTRIBUTE_READONLY,
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(RemoveAllSubdirectories(OpenFolderForRemoval(root)));  // a, the first found
  ::SetFileAttributesW((root + L"a\\f2").c_str(), FILE_ATTRIBUTE_NORMAL);

  // A folder that cannot be listed ends the walk: the queued b\sub loses its
  // files, but b\sub\deeper is never found.
  test::LayOut(root, L"r a/a a/locked/l a/locked/deep/d b/b b/sub/s b/sub/deeper/h");
  test::SetEnv({{L"UNINSTALL_TEST_UNLISTABLE", L"locked"}});
  EXPECT_TRUE(CollectSubdirectories(root, list = {}, L"*"));
  EXPECT_EQ(list, (PathList{root + L"\\a", root + L"\\b", root + L"\\a\\locked", root + L"\\b\\sub"}));
  Remove(root);
  test::SetEnv({{L"UNINSTALL_TEST_UNLISTABLE", L""}});
  for (const wchar_t* gone : {L"r", L"a\\a", L"b\\b", L"b\\sub\\s"}) EXPECT_FALSE(Exists(root + gone));
  for (const wchar_t* kept : {L"a\\locked\\l", L"a\\locked\\deep\\d", L"b\\sub\\deeper\\h"})
    EXPECT_TRUE(Exists(root + kept)) << WideToUtf8(kept);

  // Deeper than MAX_PATH.
  std::wstring deep = root + L"deep\\";
  for (int level = 0; level < 9; ++level) deep += L"a_rather_long_folder_name_of_forty_chars\\";
  test::Write(L"\\\\?\\" + deep + L"file.dat");
  Remove(root);
  EXPECT_FALSE(Exists(root));
}

// A link to `out` in the place of the folder S: there from the start, or
// swapped in at each moment where a removal by paths would follow it.
TEST(TreeRemoval, LinksAreNeverEnteredWhenTheyAppear) {
  const struct {
    const wchar_t* at;  // nullptr: from the start
    RemovalStep step;
    const wchar_t* steps;
  } cases[] = {
      {nullptr, RemovalStep::kListed, L"S.moved\\s1 S.moved\\s2 t\\f! t\\t z S.moved\\d t! S.moved S! .!"},
      {L".", RemovalStep::kListed, L"t\\f! t\\t z t! S! .!"},                         // before S is opened
      {L"S\\s1", RemovalStep::kRemoved, L"S\\s1 S\\s2! t\\f! t\\t z S\\d! t! S! .!"},  // while S empties
      {L"z", RemovalStep::kRemoved, L"S\\s1 S\\s2 t\\f! t\\t z S\\d! t! S! .!"},       // before folders go
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps);
    const std::wstring base = test::FreshFolder(), root = base + L"R\\";
    test::LayOut(base, L"out/s1 out/s2 out/z out/d/x R/S/s1 R/S/s2 R/S/d/ R/t/t R/t/f>out/s1 R/z");
    if (c.at == nullptr) test::Swap(root + L"S", base + L"out");
    // Wine opens a link's target whatever the flags say: the program leaves
    // such a link where it is, as deleting it would delete the target.
    EXPECT_EQ(Removal(root, c.at, c.step, L"S", base + L"out"), c.steps);
    for (const wchar_t* file : {L"s1", L"s2", L"z", L"d\\x"}) EXPECT_TRUE(Exists(base + L"out\\" + file));
  }
  // A root that is a link, or whose path passes through one: judged where
  // it really is.
  const std::wstring base = test::FreshFolder(), windows = ShellFolder(CSIDL_WINDOWS);
  test::LayOut(base, L"out/o link>out real/game/g");
  test::Write(windows + L"\\brim_marker\\keep");
  test::LayOut(base, L"sys>../../../windows via>real");
  for (const wchar_t* root : {L"link", L"sys\\brim_marker", L"via\\game"}) Remove(base + root);
  EXPECT_TRUE(Exists(base + L"out\\o") && Exists(windows + L"\\brim_marker\\keep"));
  EXPECT_FALSE(Exists(base + L"real\\game"));
  test::RemoveTree(windows + L"\\brim_marker");
}

// Folders that are not a game's: the judge refuses them, and their files
// survive a removal.
TEST(TreeRemoval, JudgeRefusesWhatIsNotTheGames) {
  const std::wstring base = test::FreshFolder(), profile = ShellFolder(CSIDL_PROFILE);
  const std::wstring list = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-9";
  test::WriteKey(HKEY_LOCAL_MACHINE, list, {{L"ProfileImagePath", L"C:\\users\\other"}});
  ASSERT_TRUE(test::MapDrive(L'D'));
  test::LayOut(L"D:\\", L"Other/res/data/init.dat Library/Other/res/data/init.dat Lib/G/app/res/data/init.dat");
  const std::wstring refused[] = {
      L"", L"C:", L"C:\\", L"c", L"work\\tests", L"\\work\\tests", L"C:work", L"\\\\server\\share",
      L"\\\\?\\C:\\work\\tests", L"\\\\.\\C:\\work\\tests", L"C:\\work\\*", L"C:\\work\\t?sts",
      L"C:\\work\\tests:stream", L"C:\\work\\tests\\..\\..", L"C:\\work\\..\\windows", L"D:\\",
      ShellFolder(CSIDL_SYSTEM), ShellFolder(CSIDL_PROGRAM_FILES), ShellFolder(CSIDL_COMMON_APPDATA),
      // Tried for real: a mistake would cost the prefix's own files only.
      L"C:\\users", profile, profile + L"\\AppData", ShellFolder(CSIDL_LOCAL_APPDATA),
      ShellFolder(CSIDL_APPDATA), ShellFolder(CSIDL_DESKTOPDIRECTORY), ShellFolder(CSIDL_PERSONAL),
      profile + L"\\Downloads", ShellFolder(CSIDL_MYMUSIC), ShellFolder(CSIDL_MYPICTURES),
      ShellFolder(CSIDL_MYVIDEO), profile + L"\\Saved Games", ShellFolder(CSIDL_STARTMENU),
      ShellFolder(CSIDL_PROGRAMS), ShellFolder(CSIDL_STARTUP), ShellFolder(CSIDL_TEMPLATES),
      ShellFolder(CSIDL_SENDTO), ShellFolder(CSIDL_RECENT), ShellFolder(CSIDL_COMMON_DOCUMENTS),
      L"C:\\users\\Public", test::Env(L"TEMP"), ComposePlatformDataPath(),
      ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Brimlake", L"C:\\users\\other", L"C:\\users\\other\\Documents",
      L"C:\\users\\other\\AppData\\Roaming", L"D:\\$Recycle.Bin\\S-1-5-21", L"D:\\System Volume Information",
      L"D:\\Windows.old\\x", L"D:\\Other", L"D:\\Library", L"D:\\Lib\\G"};
  bool tried = false;
  for (const std::wstring& folder : refused) {
    SCOPED_TRACE(WideToUtf8(folder));
    tried = tried || folder == L"C:\\users";
    if (tried) test::Write(folder + L"\\judge_marker");
    EXPECT_FALSE(OpenFolderForRemoval(folder));
    if (!tried) continue;
    Remove(folder);
    EXPECT_TRUE(Exists(folder + L"\\judge_marker"));
    ::DeleteFileW((folder + L"\\judge_marker").c_str());
  }
  // The game's own descriptor is not another installation's.
  RemoveDirectoryTree(OpenFolderForRemoval(L"D:\\Lib\\G", L"D:\\Lib\\G\\app\\"));
  for (const std::wstring& folder : std::vector<std::wstring>{base + L"x", L"D:\\Lib\\G", ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Brim Game",
                                     ShellFolder(CSIDL_PROGRAMS) + L"\\Brim Game", profile + L"\\Games\\G",
                                     ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Brim Game", L"C:\\users\\other\\G"}) {
    test::Write(folder + L"\\f");
    Remove(folder);
    EXPECT_FALSE(Exists(folder)) << WideToUtf8(folder);
  }
  test::DeleteKey(HKEY_LOCAL_MACHINE, list);
  test::RemoveTree(L"C:\\users\\other");
}
