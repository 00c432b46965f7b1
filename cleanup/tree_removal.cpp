#include "cleanup/tree_removal.h"

#include <windows.h>
#include <shlwapi.h>

#include "cleanup/native_files.h"
#include "cleanup/removal_safety.h"
#include "common/unique_resource.h"

namespace {

#if defined(UNINSTALL_TEST_BUILD)
RemovalObserver& Observer() {
  static RemovalObserver observer;
  return observer;
}
#endif

std::wstring Below(const std::wstring& folder, const std::wstring& name) {
  return folder.empty() ? name : folder + L"\\" + name;
}

void Notify(const std::wstring& root_path, const std::wstring& relative, RemovalStep step) {
#if defined(UNINSTALL_TEST_BUILD)
  if (Observer()) Observer()(relative.empty() ? root_path : root_path + L"\\" + relative, step);
#else
  (void)root_path;
  (void)relative;
  (void)step;
#endif
}

bool Matches(const std::wstring& name, const std::wstring& pattern) {
  return pattern == L"*" || pattern == L"*.*" || ::PathMatchSpecW(name.c_str(), pattern.c_str());
}

// A folder the walk found, held open from then on.
struct WalkedFolder {
  UniqueFileHandle handle;  // invalid: could not be opened, or not itself
  std::wstring name;        // as EntryName gives it
  std::wstring relative;    // below the walk's root
  std::wstring entry;       // its name in its parent
  size_t parent = kRoot;    // index of its parent in the walk
  bool link = false;        // never entered
  static constexpr size_t kRoot = ~size_t{0};
};

WalkedFolder OpenFound(HANDLE parent, const std::wstring& parent_name,
                       const std::wstring& parent_relative, const std::wstring& name) {
  WalkedFolder found;
  found.relative = Below(parent_relative, name);
  found.entry = name;
  UniqueFileHandle handle = OpenChild(parent, name, EntryKind::kFolder);
  if (!handle) return found;
  const std::wstring entry_name = EntryName(handle.get());
  const DWORD attributes = EntryAttributes(handle.get());
  // A handle that names another place is a link the system opened through
  // to its target (Wine): never entered, and never deleted through.
  const bool itself = IsChildName(entry_name, parent_name, name);
  found.link = !itself || attributes == INVALID_FILE_ATTRIBUTES ||
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (!itself || attributes == INVALID_FILE_ATTRIBUTES) return found;
  found.name = entry_name;
  found.handle = std::move(handle);
  return found;
}

// Called with each listed folder's handle, name, relative path and file
// names: the folders below the root in walk order, the root itself last.
using FilesVisitor = std::function<void(HANDLE folder, const std::wstring& name,
                                        const std::wstring& relative,
                                        const std::vector<std::wstring>& files)>;

// Breadth-first walk below the open folder `root`, each folder opened from
// its parent's handle as it is found and held until the caller lets it go.
// A folder that cannot be opened or listed ends the discovery: the folders
// already found are still listed, for their files alone.
std::vector<WalkedFolder> WalkBelow(HANDLE root, const std::wstring& root_name,
                                    const std::wstring& root_path,
                                    const std::wstring& folder_pattern,
                                    const FilesVisitor& visit_files) {
  std::vector<WalkedFolder> folders;
  std::vector<FolderEntry> entries;
  std::vector<std::wstring> root_files, files;
  if (!ListFolderEntries(root, entries)) return folders;
  Notify(root_path, L"", RemovalStep::kListed);
  for (const FolderEntry& entry : entries) {
    if (!entry.folder) {
      root_files.push_back(entry.name);
    } else if (Matches(entry.name, folder_pattern)) {
      folders.push_back(OpenFound(root, root_name, L"", entry.name));
    }
  }
  const auto found_below = [&folders](size_t parent, WalkedFolder found) {
    found.parent = parent;
    folders.push_back(std::move(found));
  };
  bool discovering = true;
  for (size_t i = 0; i < folders.size(); ++i) {
    if (folders[i].link) continue;
    if (!folders[i].handle || !ListFolderEntries(folders[i].handle.get(), entries)) {
      discovering = false;
      continue;
    }
    // Copies: finding more folders moves the vector.
    const HANDLE handle = folders[i].handle.get();
    const std::wstring name = folders[i].name;
    const std::wstring relative = folders[i].relative;
    Notify(root_path, relative, RemovalStep::kListed);
    files.clear();
    for (const FolderEntry& entry : entries) {
      if (!entry.folder) {
        files.push_back(entry.name);
      } else if (discovering && Matches(entry.name, folder_pattern)) {
        found_below(i, OpenFound(handle, name, relative, entry.name));
      }
    }
    if (visit_files) visit_files(handle, name, relative, files);
  }
  if (visit_files) visit_files(root, root_name, L"", root_files);
  return folders;
}

// Deletes the file `name` of the open folder `folder` through its own
// handle, once that handle shows it is the file itself.
bool DeleteChildFile(HANDLE folder, const std::wstring& folder_name, const std::wstring& name) {
  const UniqueFileHandle file = OpenChild(folder, name, EntryKind::kFile);
  return file && IsChildName(EntryName(file.get()), folder_name, name) &&
         MarkForDeletion(file.get());
}

// Deletes every file the walk lists; `last` holds the result of the last one.
FilesVisitor FileDeleter(const std::wstring& root_path, bool& last) {
  return [&root_path, &last](HANDLE folder, const std::wstring& name,
                             const std::wstring& relative,
                             const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) {
      last = DeleteChildFile(folder, name, file);
      Notify(root_path, Below(relative, file), last ? RemovalStep::kRemoved : RemovalStep::kLeft);
    }
  };
}

// Removes the walked folders deepest first, each through its own handle,
// which is closed right after so that the folder goes before its parent's
// turn; gone is what its parent no longer holds.
bool RemoveWalkedFolders(std::vector<WalkedFolder>& folders, HANDLE root,
                         const std::wstring& root_path) {
  if (folders.empty()) return true;
  bool last = false;
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    last = folder->handle && MarkForDeletion(folder->handle.get());
    folder->handle.reset();
    const HANDLE parent =
        folder->parent == WalkedFolder::kRoot ? root : folders[folder->parent].handle.get();
    last = last && !OpenChildToLook(parent, folder->entry);
    Notify(root_path, folder->relative, last ? RemovalStep::kRemoved : RemovalStep::kLeft);
  }
  return last;
}

// The root of a listing, links followed as the caller named it.
UniqueFileHandle OpenToList(const std::wstring& root) {
  const std::wstring path = AbsolutePath(root);
  if (path.empty()) return UniqueFileHandle();
  return UniqueFileHandle(::CreateFileW(
      ExtendedPath(path).c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool IsFolderToEmpty(const FolderForRemoval& root) {
  return root.kind() == FolderForRemoval::Kind::kFolder;
}

}  // namespace

bool CollectSubdirectories(const std::wstring& root, PathList& out, const std::wstring& pattern) {
  const UniqueFileHandle folder = OpenToList(root);
  if (!folder) return !out.empty();
  const std::vector<WalkedFolder> found =
      WalkBelow(folder.get(), EntryName(folder.get()), root, pattern, nullptr);
  for (const WalkedFolder& walked : found) {
    if (!walked.link) out.push_back(root + L"\\" + walked.relative);
  }
  return !out.empty();
}

bool ListFiles(const std::wstring& folder, PathList& out, const std::wstring& pattern) {
  out.clear();
  const UniqueFileHandle handle = OpenToList(folder);
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
  const UniqueFileHandle folder = OpenToList(root);
  if (!folder) return false;
  const auto collect = [&](HANDLE, const std::wstring&, const std::wstring& relative,
                           const std::vector<std::wstring>& files) {
    for (const std::wstring& file : files) {
      if (Matches(file, file_pattern)) out.push_back(root + L"\\" + Below(relative, file));
    }
  };
  (void)WalkBelow(folder.get(), EntryName(folder.get()), root, folder_pattern, collect);
  return !out.empty();
}

bool DeleteAllFiles(const FolderForRemoval& root) {
  if (!IsFolderToEmpty(root)) return false;
  bool last = false;
  (void)WalkBelow(root.handle(), root.name(), root.path(), L"*", FileDeleter(root.path(), last));
  return last;
}

bool RemoveAllSubdirectories(const FolderForRemoval& root) {
  if (!IsFolderToEmpty(root)) return false;
  std::vector<WalkedFolder> folders =
      WalkBelow(root.handle(), root.name(), root.path(), L"*", nullptr);
  return RemoveWalkedFolders(folders, root.handle(), root.path());
}

void RemoveDirectoryTree(FolderForRemoval root) {
  if (!root) return;
  if (IsFolderToEmpty(root)) {
    bool last = false;
    std::vector<WalkedFolder> folders =
        WalkBelow(root.handle(), root.name(), root.path(), L"*", FileDeleter(root.path(), last));
    (void)RemoveWalkedFolders(folders, root.handle(), root.path());
  }
  // A link is removed as a link: its handle is the link itself.
  const bool marked = MarkForDeletion(root.handle());
  root.Close();
  const bool gone = marked && ::GetFileAttributesW(ExtendedPath(root.path()).c_str()) ==
                                  INVALID_FILE_ATTRIBUTES;
  Notify(root.path(), L"", gone ? RemovalStep::kRemoved : RemovalStep::kLeft);
}

void ReportRemovalStep(const std::wstring& path, RemovalStep step) { Notify(path, L"", step); }

#if defined(UNINSTALL_TEST_BUILD)
void SetRemovalObserverForTesting(RemovalObserver observer) { Observer() = std::move(observer); }
#endif
