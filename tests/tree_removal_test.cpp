// Tree removal through handles on the real (Wine) file system: its orders
// and results, links there from the start or swapped in at each dangerous
// moment, and the folders its judge refuses.

#include "cleanup/tree_removal.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <functional>

#include "cleanup/path_operations.h"
#include "cleanup/platform_data.h"
#include "common/text.h"
#include "tests/support/harness.h"

namespace {

using test::Exists;
using test::Write;
using Steps = std::vector<std::wstring>;

// The removals below `root` as paths relative to it ("" for the root), a
// failed one marked " (left)"; `hook` sees every step first.
class Recorder {
 public:
  using Hook = std::function<void(const std::wstring& relative, RemovalStep step)>;
  explicit Recorder(const std::wstring& root, Hook hook = nullptr) {
    const std::wstring prefix = root.substr(0, root.find_last_not_of(L'\\') + 1);
    SetRemovalObserverForTesting([=](const std::wstring& path, RemovalStep step) {
      if (path.compare(0, prefix.size(), prefix) != 0) return;
      const std::wstring relative = path.substr(std::min(path.size(), prefix.size() + 1));
      if (hook) hook(relative, step);
      if (step != RemovalStep::kListed)
        steps_.push_back(relative + (step == RemovalStep::kLeft ? L" (left)" : L""));
    });
  }
  ~Recorder() { SetRemovalObserverForTesting(nullptr); }
  const Steps& steps() const { return steps_; }

 private:
  Steps steps_;
};

void Remove(const std::wstring& root) { RemoveDirectoryTree(OpenFolderForRemoval(root)); }

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  EXPECT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, 0, path))) << csidl;
  return path;
}

// R holds the file f3 and the folders a and c; a holds f2 and b; b holds f1.
std::wstring ExampleTree() {
  const std::wstring root = test::FreshFolder() + L"R\\";
  for (const wchar_t* file : {L"f3", L"a\\f2", L"a\\b\\f1"}) Write(root + file);
  test::MakeFolders(root + L"c");
  return root;
}

}  // namespace

TEST(TreeRemoval, ExampleTreeIsListedAndRemovedInWalkOrder) {
  const std::wstring root = ExampleTree();
  PathList list;
  EXPECT_TRUE(CollectSubdirectories(root, list, L"*"));
  // Children are formed as root + "\" + name, doubled separator included.
  EXPECT_EQ(list, (PathList{root + L"\\a", root + L"\\c", root + L"\\a\\b"}));
  EXPECT_TRUE(CollectFilesRecursive(root, list, L"*", L"*.*"));
  EXPECT_EQ(list, (PathList{root + L"\\a\\f2", root + L"\\a\\b\\f1", root + L"\\f3"}));
  EXPECT_TRUE(CollectFilesRecursive(root, list, L"*", L"f1*"));
  EXPECT_EQ(list, PathList{root + L"\\a\\b\\f1"});
  EXPECT_TRUE(ListFiles(root + L"a", list, L"*.*"));
  EXPECT_EQ(list, PathList{root + L"a\\f2"});
  EXPECT_FALSE(ListFiles(root + L"c", list, L"*.*"));

  const Recorder recorder(root);
  Remove(root);
  EXPECT_EQ(recorder.steps(), (Steps{L"a\\f2", L"a\\b\\f1", L"f3", L"a\\b", L"c", L"a", L""}));
  EXPECT_FALSE(Exists(root));
  EXPECT_TRUE(DirectoryExists(ParentDirectory(root)));
}

TEST(TreeRemoval, WhatCannotGoStaysWithTheFoldersAboveIt) {
  const std::wstring empty = test::FreshFolder() + L"empty";
  test::MakeFolders(empty);
  EXPECT_FALSE(DeleteAllFiles(OpenFolderForRemoval(empty)));
  EXPECT_TRUE(RemoveAllSubdirectories(OpenFolderForRemoval(empty)));
  Remove(empty);
  EXPECT_FALSE(Exists(empty));

  // A read-only file: the results of the last attempts, and nothing changes
  // its attribute.
  const std::wstring root = ExampleTree();
  ASSERT_TRUE(::SetFileAttributesW((root + L"a\\f2").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(DeleteAllFiles(OpenFolderForRemoval(root + L"a")));  // a\b\f1, then a\f2 fails
  EXPECT_TRUE(DeleteAllFiles(OpenFolderForRemoval(root)));           // f3 comes last
  for (const wchar_t* file : {L"f3", L"a\\b\\f1"}) Write(root + file);
  const Recorder recorder(root);
  Remove(root);
  EXPECT_EQ(recorder.steps(), (Steps{L"a\\f2 (left)", L"a\\b\\f1", L"f3", L"a\\b", L"c",
                                     L"a (left)", L" (left)"}));
  EXPECT_EQ(::GetFileAttributesW((root + L"a\\f2").c_str()) & FILE_ATTRIBUTE_READONLY,
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(RemoveAllSubdirectories(OpenFolderForRemoval(root)));  // a, the first found
  ::SetFileAttributesW((root + L"a\\f2").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(TreeRemoval, FolderThatCannotBeListedEndsTheWalk) {
  // R lists a and b; a lists a\locked; b lists b\sub; a\locked fails, so
  // b\sub stays queued and b\sub\deeper is never found.
  const std::wstring root = test::FreshFolder() + L"R\\";
  for (const wchar_t* file : {L"r.dat", L"a\\a.dat", L"a\\locked\\l.dat", L"a\\locked\\deep\\d.dat",
                              L"b\\b.dat", L"b\\sub\\s.dat", L"b\\sub\\deeper\\h.dat"})
    Write(root + file);
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_UNLISTABLE", L"locked");
  PathList folders;
  EXPECT_TRUE(CollectSubdirectories(root, folders, L"*"));
  EXPECT_EQ(folders, (PathList{root + L"\\a", root + L"\\b", root + L"\\a\\locked",
                               root + L"\\b\\sub"}));
  Remove(root);
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_UNLISTABLE", nullptr);
  for (const wchar_t* gone : {L"r.dat", L"a\\a.dat", L"b\\b.dat", L"b\\sub\\s.dat"})
    EXPECT_FALSE(Exists(root + gone)) << WideToUtf8(gone);
  for (const wchar_t* kept : {L"a\\locked\\l.dat", L"a\\locked\\deep\\d.dat", L"b\\sub\\deeper\\h.dat"})
    EXPECT_TRUE(Exists(root + kept)) << WideToUtf8(kept);
}

TEST(TreeRemoval, TreeDeeperThanMaxPathGoesCompletely) {
  const std::wstring root = test::FreshFolder() + L"deep\\";
  std::wstring folder = root;
  for (int level = 0; level < 9; ++level) {
    folder += L"a_rather_long_folder_name_of_forty_chars" + std::to_wstring(level) + L"\\";
    Write(L"\\\\?\\" + folder + L"file.dat");
  }
  ASSERT_GT(folder.size(), 300u);
  Remove(root);
  EXPECT_FALSE(Exists(root));
}

// A link to `outside` in the place of the folder S: there from the start, or
// swapped in at each moment where a path-based removal would follow it.
TEST(TreeRemoval, LinksAreNeverEnteredWhenTheyAppear) {
  const struct {
    const char* what;
    const wchar_t* at;  // the step that swaps S for the link; nullptr: a link from the start
    RemovalStep step;
  } cases[] = {
      {"link from the start", nullptr, RemovalStep::kListed},
      {"after its parent was listed, before it is opened", L"", RemovalStep::kListed},
      {"while its files are being deleted", L"S\\s1.dat", RemovalStep::kRemoved},
      {"between the file pass and the folder pass", L"z.dat", RemovalStep::kRemoved},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring base = test::FreshFolder(), root = base + L"R\\", outside = base + L"out\\";
    // Names the removal would meet next behind the link.
    for (const wchar_t* file : {L"s1.dat", L"s2.dat", L"s3.dat", L"deep\\d.dat", L"z.dat"})
      Write(outside + file, "outside");
    for (const wchar_t* file : {L"S\\s1.dat", L"S\\s2.dat", L"S\\s3.dat", L"S\\deep\\d.dat",
                                L"t\\t.dat", L"z.dat"})
      Write(root + file);
    ASSERT_TRUE(test::Link(root + L"t\\flink.dat", outside + L"s1.dat"));  // a file link
    if (c.at == nullptr) ASSERT_TRUE(test::Swap(root + L"S", outside));
    bool swapped = false;
    const Recorder recorder(root, [&](const std::wstring& relative, RemovalStep step) {
      if (c.at != nullptr && !swapped && relative == c.at && step == c.step)
        swapped = test::Swap(root + L"S", outside);
    });
    Remove(root);
    EXPECT_TRUE(c.at == nullptr || swapped);
    for (const wchar_t* file : {L"s1.dat", L"s2.dat", L"s3.dat", L"deep\\d.dat", L"z.dat"})
      EXPECT_EQ(test::Read(outside + file), "outside") << WideToUtf8(file);
    EXPECT_FALSE(Exists(root + L"t\\t.dat"));
    EXPECT_FALSE(Exists(root + L"z.dat"));
  }
}

TEST(TreeRemoval, RootIsJudgedWhereItReallyIs) {
  const std::wstring base = test::FreshFolder();
  Write(base + L"out\\o.dat", "outside");
  ASSERT_TRUE(test::Link(base + L"link", base + L"out"));
  // A root that is a link: the link only, never what it leads to.
  Remove(base + L"link");
  EXPECT_EQ(test::Read(base + L"out\\o.dat"), "outside");
  EXPECT_FALSE(DeleteAllFiles(OpenFolderForRemoval(base + L"link")));

  // Through a link into the Windows folder: refused.
  const std::wstring windows = ShellFolder(CSIDL_WINDOWS);
  Write(windows + L"\\brim_marker\\keep.txt");
  ASSERT_TRUE(test::Link(base + L"sys", windows));
  Remove(base + L"sys\\brim_marker");
  EXPECT_TRUE(Exists(windows + L"\\brim_marker\\keep.txt"));
  test::RemoveTree(windows + L"\\brim_marker");

  // Through a link to an ordinary place: removed there.
  Write(base + L"real\\game\\g.dat");
  ASSERT_TRUE(test::Link(base + L"via", base + L"real"));
  Remove(base + L"via\\game");
  EXPECT_FALSE(Exists(base + L"real\\game"));
}

// Folders that are not a game's to remove: refused by the judge, so that
// their files survive a removal.
TEST(TreeRemoval, JudgeRefusesWhatIsNotTheGames) {
  const std::wstring base = test::FreshFolder();
  ASSERT_TRUE(test::MapDrive(L'D', base));
  const std::wstring profiles = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
  test::WriteKey(HKEY_LOCAL_MACHINE, profiles + L"S-1-5-21-9-9-9-1001",
                 {{L"ProfileImagePath", L"C:\\users\\other"}});
  const std::wstring profile = ShellFolder(CSIDL_PROFILE), local = ShellFolder(CSIDL_LOCAL_APPDATA);
  const std::wstring programs = ShellFolder(CSIDL_PROGRAMS);
  Write(L"D:\\Other\\res\\data\\init.dat", "{}");
  Write(L"D:\\Library\\Other\\res\\data\\init.dat", "{}");
  const std::wstring refused[] = {
      L"", L"C:", L"C:\\", L"c", L"work\\tests", L"\\work\\tests", L"C:work", L"\\\\server\\share",
      L"\\\\?\\C:\\work\\tests", L"\\\\.\\C:\\work\\tests", L"C:\\work\\*", L"C:\\work\\t?sts",
      L"C:\\work\\tests:stream", L"C:\\work\\tests\\..\\..", L"C:\\work\\..\\windows", L"D:\\",
      ShellFolder(CSIDL_SYSTEM), ShellFolder(CSIDL_PROGRAM_FILES), ShellFolder(CSIDL_COMMON_APPDATA),
      ParentDirectory(profile), profile, profile + L"\\AppData", local, ShellFolder(CSIDL_APPDATA),
      ShellFolder(CSIDL_DESKTOPDIRECTORY), ShellFolder(CSIDL_PERSONAL), profile + L"\\Downloads",
      ShellFolder(CSIDL_MYMUSIC), ShellFolder(CSIDL_MYPICTURES), ShellFolder(CSIDL_MYVIDEO),
      profile + L"\\Saved Games", ShellFolder(CSIDL_STARTMENU), programs,
      ShellFolder(CSIDL_STARTUP), ShellFolder(CSIDL_TEMPLATES), ShellFolder(CSIDL_SENDTO),
      ShellFolder(CSIDL_RECENT), ShellFolder(CSIDL_COMMON_DOCUMENTS), L"C:\\users\\Public",
      test::Env(L"TEMP"), ComposePlatformDataPath(), local + L"\\Brimlake", L"C:\\users\\other",
      L"C:\\users\\other\\Documents", L"C:\\users\\other\\AppData\\Roaming",
      L"D:\\$Recycle.Bin\\S-1-5-21", L"D:\\System Volume Information", L"D:\\Windows.old\\x",
      L"D:\\Other", L"D:\\Library",
  };
  for (const std::wstring& folder : refused) {
    SCOPED_TRACE(WideToUtf8(folder));
    // Where a mistake would cost only the test's own files, it is tried.
    const bool tried = folder.find(L"users") != std::wstring::npos || folder.compare(0, 2, L"D:") == 0;
    if (tried) Write(folder + L"\\judge_marker.txt");
    EXPECT_FALSE(OpenFolderForRemoval(folder));
    if (!tried) continue;
    Remove(folder);
    EXPECT_TRUE(Exists(folder + L"\\judge_marker.txt"));
    ::DeleteFileW((folder + L"\\judge_marker.txt").c_str());
  }
  const std::wstring allowed[] = {
      base + L"x", L"D:\\Lib\\G\\app", ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Brim Game",
      programs + L"\\Brim Game", local + L"\\Brim Game", profile + L"\\Games\\G",
      L"C:\\users\\other\\Games\\G",
  };
  for (const std::wstring& folder : allowed) {
    SCOPED_TRACE(WideToUtf8(folder));
    Write(folder + L"\\f.dat");
    Remove(folder);
    EXPECT_FALSE(Exists(folder));
  }
  // The game's own descriptor is not another installation's.
  Write(L"D:\\Lib\\G\\app\\res\\data\\init.dat", "{}");
  EXPECT_FALSE(OpenFolderForRemoval(L"D:\\Lib\\G"));
  RemoveDirectoryTree(OpenFolderForRemoval(L"D:\\Lib\\G", L"D:\\Lib\\G\\app\\"));
  EXPECT_FALSE(Exists(L"D:\\Lib\\G"));
  test::DeleteKey(HKEY_LOCAL_MACHINE, profiles + L"S-1-5-21-9-9-9-1001");
  test::RemoveTree(L"C:\\users\\other");
}

TEST(ShellDelete, DeletesOneFileAndNothingElse) {
  const std::wstring base = test::FreshFolder();
  for (const wchar_t* file : {L"game.lnk", L"other.lnk", L"folder.lnk\\inside.dat", L"out\\o.lnk"})
    Write(base + file);
  ASSERT_TRUE(test::Link(base + L"linked.lnk", base + L"out\\o.lnk"));
  // Nothing may change but the first.
  for (const wchar_t* path : {L"game.lnk", L"missing.lnk", L"*.lnk", L"folder.lnk", L"folder.lnk\\",
                              L"linked.lnk"}) {
    ShellDeleteFile(base + path);
    EXPECT_FALSE(Exists(base + L"game.lnk")) << WideToUtf8(path);
    EXPECT_TRUE(Exists(base + L"other.lnk") && Exists(base + L"folder.lnk\\inside.dat") &&
                Exists(base + L"out\\o.lnk"))
        << WideToUtf8(path);
  }
  ShellDeleteFile(L"other.lnk");  // relative: refused
  EXPECT_TRUE(Exists(base + L"other.lnk"));
}
