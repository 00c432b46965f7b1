#include "cleanup/files/tree_removal.h"

#include <windows.h>
#include <shlwapi.h>

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_progress.h"
#include "cleanup/files/removal_safety.h"
#include "common/text.h"
#include "common/unique_resource.h"

namespace {

#if defined(UNINSTALL_TEST_BUILD)
RemovalObserver& Observer() {
  static RemovalObserver observer;
  return observer;
}
bool Observing() { return static_cast<bool>(Observer()); }
#else
constexpr bool Observing() { return false; }
#endif

std::wstring Below(const std::wstring& folder, const std::wstring& name) {
  return folder.empty() ? name : folder + L"\\" + name;
}

bool Matches(const std::wstring& name, const std::wstring& pattern) {
  return pattern == L"*" || pattern == L"*.*" || ::PathMatchSpecW(name.c_str(), pattern.c_str());
}

// A folder the walk found, held open from then on. Only its own name is
// kept: the memory of a walk grows with the names in the tree, not with its
// depth times their length.
struct WalkedFolder {
  UniqueFileHandle handle;  // invalid: could not be opened, or not itself
  std::wstring entry;       // its name in its parent
  std::wstring files;       // its files to visit, each name ended by a NUL, until visited
  size_t parent = kRoot;    // index of its parent in the walk
  bool link = false;        // never entered
  bool kept = false;        // on the way to something that stays
  bool listed = false;      // its files are known
  static constexpr size_t kRoot = ~size_t{0};
};

using Walk = std::vector<WalkedFolder>;

// The path of `index` below the walk's root ("" for the root).
std::wstring RelativeOf(const Walk& folders, size_t index) {
  std::vector<size_t> chain;
  for (size_t at = index; at != WalkedFolder::kRoot; at = folders[at].parent) chain.push_back(at);
  std::wstring relative;
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) relative = Below(relative, folders[*at].entry);
  return relative;
}

// What the walk leaves in place: paths below the root, their folders kept
// with them.
class KeepList {
 public:
  explicit KeepList(const std::vector<std::wstring>& paths) : paths_(paths) {}
  bool empty() const { return paths_.empty(); }
  bool Keeps(const std::wstring& relative) const {
    for (const std::wstring& path : paths_)
      if (SameName(path, relative)) return true;
    return false;
  }
  bool LeadsTo(const std::wstring& relative) const {
    for (const std::wstring& path : paths_)
      if (path.size() > relative.size() && path[relative.size()] == L'\\' &&
          SameName(path.substr(0, relative.size()), relative))
        return true;
    return false;
  }

 private:
  const std::vector<std::wstring>& paths_;
};

// One walk below an open root: the walked folders and what it reports.
struct TreeWalk {
  TreeWalk(HANDLE root_handle, const std::wstring& path, const KeepList& kept)
      : root(root_handle), root_path(path), keep(kept) {}
  HANDLE root;
  const std::wstring& root_path;
  const KeepList& keep;
  Walk folders;
  std::wstring root_files;  // as WalkedFolder::files, for the root
  size_t file_count = 0;    // files listed to visit
  bool complete = true;     // nothing but what is kept has stayed
  bool tells_progress = false;  // a removal the run's progress counts

  std::wstring Relative(size_t folder, const std::wstring& name) const {
    const std::wstring base = folder == WalkedFolder::kRoot ? std::wstring() : RelativeOf(folders, folder);
    return name.empty() ? base : Below(base, name);
  }
  bool OnKeptWay(size_t folder) const {
    return !keep.empty() && (folder == WalkedFolder::kRoot || folders[folder].kept);
  }
  // Tells the run's progress which folder is being worked in: its path
  // below the root, or the root's own name.
  void WorkingIn(size_t folder) const {
    if (!tells_progress || !FolderNamesWatched()) return;
    if (folder != WalkedFolder::kRoot) return NoteFolder(RelativeOf(folders, folder));
    const size_t slash = root_path.find_last_of(L'\\');
    NoteFolder(slash == std::wstring::npos ? root_path : root_path.substr(slash + 1));
  }
  void Done(bool removed) const {
    if (tells_progress) NoteEntryDone(removed);
  }
  void Notify(size_t folder, const std::wstring& name, RemovalStep step) const {
#if defined(UNINSTALL_TEST_BUILD)
    if (!Observing()) return;
    const std::wstring relative = Relative(folder, name);
    Observer()(relative.empty() ? root_path : root_path + L"\\" + relative, step);
#else
    (void)folder;
    (void)name;
    (void)step;
#endif
  }
};

WalkedFolder OpenFound(HANDLE parent, const std::wstring& parent_name, const std::wstring& name) {
  WalkedFolder found;
  found.entry = name;
  UniqueFileHandle handle = OpenChild(parent, name, EntryKind::kFolder);
  if (!handle) return found;
  const DWORD attributes = EntryAttributes(handle.get());
  // A handle that names another place is a link the system opened through
  // to its target (Wine): never entered, and never deleted through.
  const bool itself = IsChildName(EntryName(handle.get()), parent_name, name);
  found.link = !itself || attributes == INVALID_FILE_ATTRIBUTES ||
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (itself && attributes != INVALID_FILE_ATTRIBUTES) found.handle = std::move(handle);
  return found;
}

// Called with each listed folder's handle, name (EntryName), index in the
// walk (kRoot for the root) and file names: the folders below the root in
// walk order, the root itself last.
using FilesVisitor = std::function<void(TreeWalk& walk, HANDLE folder, const std::wstring& name,
                                        size_t index, const std::vector<std::wstring>& files)>;

// The name of the entry `name` of the folder named `folder` (a volume's
// root ends in "\" itself).
std::wstring NameBelow(const std::wstring& folder, const std::wstring& name) {
  return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

// Appends `name`, ended by a NUL, to the packed list `files`.
void Pack(std::wstring& files, const std::wstring& name) {
  files += name;
  files += L'\0';
}

// The names packed in `files`, into `out`.
void Unpack(const std::wstring& files, std::vector<std::wstring>& out) {
  out.clear();
  for (size_t at = 0; at < files.size();) {
    const size_t end = files.find(L'\0', at);
    out.emplace_back(files, at, end - at);
    at = end + 1;
  }
}

// Lists the open folder `folder` (index `index`): its files, but those the
// walk keeps, go packed to `files` when `keep_files`; its subfolders
// matching `pattern` are opened and added to the walk when `discover`.
// False when it cannot be listed.
bool ListInto(TreeWalk& walk, HANDLE folder, const std::wstring& name, size_t index,
              const std::wstring& pattern, bool discover, bool keep_files, std::wstring& files) {
  std::vector<FolderEntry> entries;
  if (!ListFolderEntries(folder, entries)) return false;
  walk.Notify(index, L"", RemovalStep::kListed);
  const bool keeping = walk.OnKeptWay(index);
  for (FolderEntry& entry : entries) {
    // What is kept whole is neither entered nor visited.
    if (keeping && walk.keep.Keeps(walk.Relative(index, entry.name))) continue;
    if (!entry.folder) {
      if (!keep_files) continue;
      Pack(files, entry.name);
      ++walk.file_count;
    } else if (discover && Matches(entry.name, pattern)) {
      WalkedFolder found = OpenFound(folder, name, entry.name);
      found.parent = index;
      found.kept = keeping && walk.keep.LeadsTo(walk.Relative(index, entry.name));
      walk.folders.push_back(std::move(found));
    }
  }
  return true;
}

// Breadth-first listing of the whole tree below the root, each folder opened
// from its parent's handle as it is found and held until the caller lets it
// go; with `keep_files`, the files of each folder are kept for VisitFiles.
// A folder that cannot be opened or listed ends the discovery: the folders
// already found are still listed, for their files alone. False when the
// root cannot be listed.
bool ListTree(TreeWalk& walk, const std::wstring& folder_pattern, bool keep_files) {
  walk.WorkingIn(WalkedFolder::kRoot);
  if (!ListInto(walk, walk.root, EntryName(walk.root), WalkedFolder::kRoot, folder_pattern, true,
                keep_files, walk.root_files)) {
    walk.complete = false;
    return false;
  }
  bool discovering = true;
  for (size_t i = 0; i < walk.folders.size(); ++i) {
    if (walk.folders[i].link) continue;
    walk.WorkingIn(i);
    // Copied: finding more folders moves the vector.
    const HANDLE handle = walk.folders[i].handle.get();
    const std::wstring name = handle ? EntryName(handle) : std::wstring();
    std::wstring files;
    if (name.empty() ||
        !ListInto(walk, handle, name, i, folder_pattern, discovering, keep_files, files)) {
      discovering = false;
      walk.complete = false;
      continue;
    }
    // Kept until visited: no room to spare.
    files.shrink_to_fit();
    walk.folders[i].files = std::move(files);
    walk.folders[i].listed = true;
  }
  return true;
}

// Calls `visit_files` with the files ListTree kept: the folders in walk
// order, then the root; each list is let go once visited. A folder's name
// is the root's extended by the names the walk checked on its way down.
void VisitFiles(TreeWalk& walk, const FilesVisitor& visit_files) {
  const std::wstring root_name = EntryName(walk.root);
  std::vector<std::wstring> files;
  for (size_t i = 0; i < walk.folders.size(); ++i) {
    WalkedFolder& folder = walk.folders[i];
    if (!folder.listed) continue;
    walk.WorkingIn(i);
    Unpack(folder.files, files);
    std::wstring().swap(folder.files);
    visit_files(walk, folder.handle.get(), NameBelow(root_name, RelativeOf(walk.folders, i)), i, files);
  }
  walk.WorkingIn(WalkedFolder::kRoot);
  Unpack(walk.root_files, files);
  std::wstring().swap(walk.root_files);
  visit_files(walk, walk.root, root_name, WalkedFolder::kRoot, files);
}

// The whole walk: the tree listed, then its files visited.
void WalkBelow(TreeWalk& walk, const std::wstring& folder_pattern, const FilesVisitor& visit_files) {
  if (ListTree(walk, folder_pattern, static_cast<bool>(visit_files)) && visit_files)
    VisitFiles(walk, visit_files);
}

// Deletes the file `name` of the open folder `folder` through its own
// handle, once that handle shows it is the file itself.
bool DeleteChildFile(HANDLE folder, const std::wstring& folder_name, const std::wstring& name) {
  const UniqueFileHandle file = OpenChild(folder, name, EntryKind::kFile);
  return file && IsChildName(EntryName(file.get()), folder_name, name) &&
         MarkForDeletion(file.get());
}

// Deletes every file the walk lists (it lists none of those it keeps);
// `last` holds the result of the last delete.
FilesVisitor FileDeleter(bool& last) {
  return [&last](TreeWalk& walk, HANDLE folder, const std::wstring& name, size_t index,
                 const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) {
      last = DeleteChildFile(folder, name, file);
      walk.complete = walk.complete && last;
      walk.Done(last);
      walk.Notify(index, file, last ? RemovalStep::kRemoved : RemovalStep::kLeft);
    }
  };
}

// Removes the walked folders deepest first, each through its own handle,
// which is closed right after so that the folder goes before its parent's
// turn; gone is what its parent no longer holds. Folders on the way to what
// is kept stay. Returns the result for the first folder found.
bool RemoveWalkedFolders(TreeWalk& walk) {
  Walk& folders = walk.folders;
  if (folders.empty()) return true;
  bool last = false;
  for (size_t i = folders.size(); i-- > 0;) {
    WalkedFolder& folder = folders[i];
    if (folder.kept) {
      folder.handle.reset();
      continue;
    }
    walk.WorkingIn(i);
    last = folder.handle && MarkForDeletion(folder.handle.get());
    folder.handle.reset();
    const HANDLE parent = folder.parent == WalkedFolder::kRoot ? walk.root : folders[folder.parent].handle.get();
    last = last && !OpenChildToLook(parent, folder.entry);
    walk.complete = walk.complete && last;
    walk.Done(last);
    walk.Notify(i, L"", last ? RemovalStep::kRemoved : RemovalStep::kLeft);
  }
  return last;
}

bool IsFolderToEmpty(const FolderForRemoval& root) {
  return root.kind() == FolderForRemoval::Kind::kFolder;
}

const std::vector<std::wstring> kKeepNothing;

}  // namespace

bool CollectSubdirectories(const std::wstring& root, PathList& out, const std::wstring& pattern) {
  const UniqueFileHandle folder = OpenFolderToList(root);
  if (!folder) return !out.empty();
  const KeepList keep(kKeepNothing);
  TreeWalk walk(folder.get(), root, keep);
  WalkBelow(walk, pattern, nullptr);
  for (size_t i = 0; i < walk.folders.size(); ++i) {
    if (!walk.folders[i].link) out.push_back(root + L"\\" + RelativeOf(walk.folders, i));
  }
  return !out.empty();
}

bool ListFiles(const std::wstring& folder, PathList& out, const std::wstring& pattern) {
  out.clear();
  const UniqueFileHandle handle = OpenFolderToList(folder);
  std::vector<FolderEntry> entries;
  if (!handle || !ListFolderEntries(handle.get(), entries)) return false;
  for (const FolderEntry& entry : entries) {
    if (!entry.folder && Matches(entry.name, pattern)) out.push_back(folder + L"\\" + entry.name);
  }
  return !out.empty();
}

bool CollectFilesRecursive(const std::wstring& root, PathList& out,
                           const std::wstring& folder_pattern, const std::wstring& file_pattern) {
  out.clear();
  const UniqueFileHandle folder = OpenFolderToList(root);
  if (!folder) return false;
  const auto collect = [&](TreeWalk& walk, HANDLE, const std::wstring&, size_t index,
                           const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) {
      if (Matches(file, file_pattern)) out.push_back(root + L"\\" + walk.Relative(index, file));
    }
  };
  const KeepList keep(kKeepNothing);
  TreeWalk walk(folder.get(), root, keep);
  WalkBelow(walk, folder_pattern, collect);
  return !out.empty();
}

bool DeleteAllFiles(const FolderForRemoval& root) {
  if (!IsFolderToEmpty(root)) return false;
  bool last = false;
  const KeepList keep(kKeepNothing);
  TreeWalk walk(root.handle(), root.path(), keep);
  WalkBelow(walk, L"*", FileDeleter(last));
  return last;
}

bool RemoveAllSubdirectories(const FolderForRemoval& root) {
  if (!IsFolderToEmpty(root)) return false;
  const KeepList keep(kKeepNothing);
  TreeWalk walk(root.handle(), root.path(), keep);
  WalkBelow(walk, L"*", nullptr);
  return RemoveWalkedFolders(walk);
}

bool EmptyFolder(const FolderForRemoval& root, const std::vector<std::wstring>& keep_paths) {
  if (!IsFolderToEmpty(root)) return false;
  try {
    bool last = false;
    const KeepList keep(keep_paths);
    TreeWalk walk(root.handle(), root.path(), keep);
    walk.tells_progress = true;
    NoteWalkStarted();
    // Listed whole first, so that the run's progress knows its size.
    if (ListTree(walk, L"*", /*keep_files=*/true)) {
      size_t folders = 0;
      for (const WalkedFolder& folder : walk.folders) folders += !folder.kept;
      NoteWalkSize(static_cast<unsigned long>(walk.file_count + folders));
      VisitFiles(walk, FileDeleter(last));
    }
    (void)RemoveWalkedFolders(walk);
    return walk.complete;
  } catch (...) {
    // Out of memory: what was not reached stays, and the caller hears of it.
    return false;
  }
}

bool RemoveFolderTree(FolderForRemoval root) {
  if (!root) return false;
  if (IsFolderToEmpty(root)) (void)EmptyFolder(root, kKeepNothing);
  // A link is removed as a link: its handle is the link itself.
  const bool marked = MarkForDeletion(root.handle());
  root.Close();
  const bool gone = marked && ::GetFileAttributesW(ExtendedPath(root.path()).c_str()) ==
                                  INVALID_FILE_ATTRIBUTES;
#if defined(UNINSTALL_TEST_BUILD)
  if (Observing()) Observer()(root.path(), gone ? RemovalStep::kRemoved : RemovalStep::kLeft);
#endif
  return gone;
}

void RemoveDirectoryTree(FolderForRemoval root) { (void)RemoveFolderTree(std::move(root)); }

void ReportRemovalStep(const std::wstring& path, RemovalStep step) {
#if defined(UNINSTALL_TEST_BUILD)
  if (Observing()) Observer()(path, step);
#else
  (void)path;
  (void)step;
#endif
}

#if defined(UNINSTALL_TEST_BUILD)
void SetRemovalObserverForTesting(RemovalObserver observer) { Observer() = std::move(observer); }
#endif
