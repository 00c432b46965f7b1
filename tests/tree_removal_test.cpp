#include "cleanup/tree_removal.h"

#include <gtest/gtest.h>

#include "cleanup/path_operations.h"
#include "common/text.h"
#include "tests/support/test_support.h"

namespace {

// Records the removal attempts below `root` as paths relative to it ("" for
// the root itself), in their order.
class RemovalRecorder {
 public:
  explicit RemovalRecorder(const std::wstring& root) {
    std::wstring trimmed = root;
    while (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
    prefix_ = L"\\\\?\\" + trimmed;
    SetRemovalObserverForTesting([this](const std::wstring& path, bool removed) {
      if (path.compare(0, prefix_.size(), prefix_) != 0) return;
      const std::wstring relative = path.substr(prefix_.size());
      attempts_.push_back((relative.empty() ? relative : relative.substr(1)) +
                          (removed ? L"" : L" (failed)"));
    });
  }
  ~RemovalRecorder() { SetRemovalObserverForTesting(nullptr); }
  const std::vector<std::wstring>& attempts() const { return attempts_; }

 private:
  std::wstring prefix_;
  std::vector<std::wstring> attempts_;
};

// Sets the listing seam for one scope.
class UnlistableFolder {
 public:
  explicit UnlistableFolder(const wchar_t* name) {
    ::SetEnvironmentVariableW(L"UNINSTALL_TEST_UNLISTABLE", name);
  }
  ~UnlistableFolder() { ::SetEnvironmentVariableW(L"UNINSTALL_TEST_UNLISTABLE", nullptr); }
};

// A link left by an earlier run in the same prefix (Wine cannot remove it)
// is reused.
bool EnsureFolderLink(const std::wstring& link, const std::wstring& target) {
  const DWORD attributes = test::ListedAttributes(link);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return true;
  return test::MakeFolderLink(link, target);
}

void Touch(const std::wstring& path) { test::WriteFileBytes(path, "x"); }

// The Part's example: R holds f3 and the folders a and c; a holds f2 and b;
// b holds f1.
std::wstring MakeExampleTree() {
  const std::wstring root = test::FreshTestFolder() + L"R\\";
  Touch(root + L"f3");
  Touch(root + L"a\\f2");
  Touch(root + L"a\\b\\f1");
  test::MakeFolders(root + L"c");
  return root;
}

}  // namespace

TEST(TreeWalk, ExampleTreeListsBreadthFirstWithRootFilesLast) {
  const std::wstring root = MakeExampleTree();
  PathList folders;
  EXPECT_TRUE(CollectSubdirectories(root, folders, L"*"));
  // Children are formed as root + "\" + name, doubled separator included.
  EXPECT_EQ(folders, (PathList{root + L"\\a", root + L"\\c", root + L"\\a\\b"}));

  PathList files = {L"stale"};
  EXPECT_TRUE(CollectFilesRecursive(root, files, L"*", L"*.*"));
  EXPECT_EQ(files, (PathList{root + L"\\a\\f2", root + L"\\a\\b\\f1", root + L"\\f3"}));

  // A narrower file pattern takes the listing apart from the walk.
  EXPECT_TRUE(CollectFilesRecursive(root, files, L"*", L"f1*"));
  EXPECT_EQ(files, (PathList{root + L"\\a\\b\\f1"}));

  EXPECT_TRUE(ListFiles(root + L"a", files, L"*.*"));
  EXPECT_EQ(files, (PathList{root + L"a\\f2"}));
  EXPECT_FALSE(ListFiles(root + L"c", files, L"*.*"));
  EXPECT_TRUE(files.empty());
}

TEST(TreeRemoval, ExampleTreeGoesFilesFirstThenDeepestFolders) {
  const std::wstring root = MakeExampleTree();
  RemovalRecorder recorder(root);
  RemoveDirectoryTree(root);
  EXPECT_EQ(recorder.attempts(),
            (std::vector<std::wstring>{L"a\\f2", L"a\\b\\f1", L"f3", L"a\\b", L"c", L"a", L""}));
  EXPECT_FALSE(test::PathExists(root));
  EXPECT_TRUE(DirectoryExists(ParentDirectory(root)));
}

TEST(TreeRemoval, EmptyRootAndItsResults) {
  const std::wstring root = test::FreshTestFolder() + L"empty\\";
  test::MakeFolders(root);
  EXPECT_FALSE(DeleteAllFiles(root));
  EXPECT_TRUE(RemoveAllSubdirectories(root));
  RemoveDirectoryTree(root);
  EXPECT_FALSE(test::PathExists(root));

  // The result of the last attempt: the first folder found, which still
  // holds a read-only file, fails.
  const std::wstring tree = MakeExampleTree();
  ::SetFileAttributesW((tree + L"a\\f2").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(DeleteAllFiles(tree + L"a"));  // a\b\f1 went, then a\f2 failed
  EXPECT_TRUE(DeleteAllFiles(tree));          // f3 last
  EXPECT_FALSE(RemoveAllSubdirectories(tree));
  EXPECT_FALSE(test::PathExists(tree + L"a\\b"));
  EXPECT_FALSE(test::PathExists(tree + L"c"));
  ::SetFileAttributesW((tree + L"a\\f2").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(TreeRemoval, ReadOnlyFileDeepInTheTreeKeepsItsFolders) {
  const std::wstring root = test::FreshTestFolder() + L"game\\";
  const std::wstring locked = root + L"x\\y\\z\\locked.dat";
  Touch(locked);
  ASSERT_TRUE(::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
  Touch(root + L"x\\y\\other.dat");
  Touch(root + L"top.dat");
  Touch(root + L"w\\v.dat");
  test::MakeFolders(root + L"x\\sibling");

  RemoveDirectoryTree(root);

  EXPECT_TRUE(test::PathExists(locked));
  EXPECT_EQ(test::ListedAttributes(locked) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY)
      << "attributes must not change";
  for (const wchar_t* gone : {L"x\\y\\other.dat", L"top.dat", L"w", L"x\\sibling"})
    EXPECT_FALSE(test::PathExists(root + gone)) << WideToUtf8(gone);
  for (const wchar_t* kept : {L"x\\y\\z", L"x\\y", L"x", L""})
    EXPECT_TRUE(DirectoryExists(root + kept)) << WideToUtf8(kept);
  ::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(TreeRemoval, FolderThatCannotBeListedEndsTheWalk) {
  // Walk: R lists a and b; a lists a\locked; b lists b\sub; a\locked fails,
  // so b\sub stays queued and b\sub\deeper is never found.
  const std::wstring root = test::FreshTestFolder() + L"R\\";
  for (const wchar_t* file : {L"r.dat", L"a\\a.dat", L"a\\locked\\l.dat", L"a\\locked\\deep\\d.dat",
                              L"b\\b.dat", L"b\\sub\\s.dat", L"b\\sub\\deeper\\h.dat"})
    Touch(root + file);
  {
    UnlistableFolder seam(L"locked");
    PathList folders;
    EXPECT_TRUE(CollectSubdirectories(root, folders, L"*"));
    EXPECT_EQ(folders, (PathList{root + L"\\a", root + L"\\b", root + L"\\a\\locked",
                                 root + L"\\b\\sub"}));
    RemoveDirectoryTree(root);
  }
  // Queued b\sub still lost its own file; what lies below the stop stays.
  for (const wchar_t* gone : {L"r.dat", L"a\\a.dat", L"b\\b.dat", L"b\\sub\\s.dat"})
    EXPECT_FALSE(test::PathExists(root + gone)) << WideToUtf8(gone);
  for (const wchar_t* kept : {L"a\\locked\\l.dat", L"a\\locked\\deep\\d.dat",
                              L"b\\sub\\deeper\\h.dat"})
    EXPECT_TRUE(test::PathExists(root + kept)) << WideToUtf8(kept);
}

TEST(TreeRemoval, LinkInsideTheTreeIsNeverEntered) {
  const std::wstring base = test::FreshTestFolder();
  const std::wstring outside = base + L"outside\\";
  const std::wstring root = base + L"game\\";
  Touch(outside + L"o1.dat");
  Touch(outside + L"sub\\o2.dat");
  Touch(root + L"a\\f.dat");
  Touch(root + L"z.dat");
  Touch(root + L"b\\g.dat");
  ASSERT_TRUE(EnsureFolderLink(root + L"a\\link", outside));
  ASSERT_EQ(test::ListedAttributes(root + L"a\\link") & FILE_ATTRIBUTE_REPARSE_POINT,
            static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));

  PathList folders;
  CollectSubdirectories(root, folders, L"*");
  EXPECT_EQ(folders, (PathList{root + L"\\a", root + L"\\b"}));
  PathList files;
  CollectFilesRecursive(root, files, L"*", L"*.*");
  EXPECT_EQ(files, (PathList{root + L"\\a\\f.dat", root + L"\\b\\g.dat", root + L"\\z.dat"}));

  RemoveDirectoryTree(root);
  EXPECT_EQ(test::ReadFileBytes(outside + L"o1.dat"), "x");
  EXPECT_EQ(test::ReadFileBytes(outside + L"sub\\o2.dat"), "x");
  // The walk went on past the link; b went completely. Wine cannot remove
  // the link itself, so a and the root stay around it.
  EXPECT_FALSE(test::PathExists(root + L"a\\f.dat"));
  EXPECT_FALSE(test::PathExists(root + L"z.dat"));
  EXPECT_FALSE(test::PathExists(root + L"b"));

  // A root that is itself a link is not emptied.
  RemoveDirectoryTree(root + L"a\\link\\");
  EXPECT_EQ(test::ReadFileBytes(outside + L"o1.dat"), "x");
  EXPECT_EQ(test::ReadFileBytes(outside + L"sub\\o2.dat"), "x");
  EXPECT_FALSE(DeleteAllFiles(root + L"a\\link"));
  EXPECT_FALSE(RemoveAllSubdirectories(root + L"a\\link"));
  EXPECT_TRUE(test::PathExists(outside + L"sub"));
}

TEST(TreeRemoval, TreeDeeperThanMaxPathGoesCompletely) {
  const std::wstring root = test::FreshTestFolder() + L"deep\\";
  std::wstring folder = root;
  const std::wstring segment = L"a_rather_long_folder_name_of_forty_chars";
  for (int level = 0; level < 9; ++level) {
    folder += segment + std::to_wstring(level) + L"\\";
    Touch(L"\\\\?\\" + folder + L"file" + std::to_wstring(level) + L".dat");
    Touch(L"\\\\?\\" + folder + L"side\\s.dat");
  }
  ASSERT_GT(folder.size(), 300u);
  ASSERT_TRUE(test::PathExists(L"\\\\?\\" + folder + L"file8.dat"));

  RemoveDirectoryTree(root);
  EXPECT_FALSE(test::PathExists(root));
  EXPECT_FALSE(test::PathExists(L"\\\\?\\" + root));
}

TEST(ShellDelete, DeletesOneFileAndNothingElse) {
  const std::wstring base = test::FreshTestFolder();
  Touch(base + L"game.lnk");
  Touch(base + L"other.lnk");
  Touch(base + L"folder.lnk\\inside.dat");
  const struct {
    const wchar_t* path;
    const wchar_t* gone;  // nullptr: nothing may change
  } cases[] = {
      {L"game.lnk", L"game.lnk"},
      {L"missing.lnk", nullptr},
      {L"*.lnk", nullptr},         // wildcards are not expanded
      {L"folder.lnk", nullptr},    // a folder is not a file
      {L"folder.lnk\\", nullptr},
  };
  for (const auto& c : cases) {
    ShellDeleteFile(base + c.path);
    if (c.gone != nullptr) EXPECT_FALSE(test::PathExists(base + c.gone)) << WideToUtf8(c.path);
    EXPECT_TRUE(test::PathExists(base + L"other.lnk")) << WideToUtf8(c.path);
    EXPECT_TRUE(test::PathExists(base + L"folder.lnk\\inside.dat")) << WideToUtf8(c.path);
  }
  ShellDeleteFile(L"other.lnk");  // relative: refused
  EXPECT_TRUE(test::PathExists(base + L"other.lnk"));
}
