#include "cleanup/files/folder_for_removal.h"

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"

namespace {

constexpr wchar_t kDescriptor[] = L"res\\data\\init.dat";

// Opens an existing entry to look at it only, links followed.
UniqueFileHandle OpenToLook(const std::wstring& absolute_path) {
  return UniqueFileHandle(::CreateFileW(ExtendedPath(absolute_path).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
}

// Whether the open folder `folder` is `parent` plus its last component: a
// link the system opened through to its target (Wine) is not.
bool OpensItself(const std::wstring& absolute_path, const std::wstring& name) {
  const size_t slash = absolute_path.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash + 1 >= absolute_path.size()) return false;
  std::wstring parent = absolute_path.substr(0, slash);
  if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
  const UniqueFileHandle parent_handle = OpenToLook(parent);
  if (!parent_handle) return false;
  return IsChildName(name, EntryName(parent_handle.get()), absolute_path.substr(slash + 1));
}

// Whether `folder` holds an install descriptor at its top, or one of its
// subfolders does, that is not the one of the installation `own`.
bool HoldsAnotherInstallation(HANDLE folder, const FileIdentity& own) {
  if (OpenChildToLook(folder, kDescriptor) && !(IdentityOf(folder) == own)) return true;
  std::vector<FolderEntry> entries;
  if (!ListFolderEntries(folder, entries)) return true;  // cannot tell: not ours to remove
  for (const FolderEntry& entry : entries) {
    if (!entry.folder) continue;
    if (!OpenChildToLook(folder, entry.name + L"\\" + kDescriptor)) continue;
    const UniqueFileHandle child = OpenChildToLook(folder, entry.name);
    if (!(IdentityOf(child.get()) == own)) return true;
  }
  return false;
}

}  // namespace

FolderForRemoval::Kind JudgeFolder(HANDLE handle, const std::wstring& named_path,
                                   const FileIdentity& own) {
  const DWORD attributes = EntryAttributes(handle);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return FolderForRemoval::Kind::kRefused;
  const std::wstring final_path = FinalPathOf(handle);
  // Judged where it really is and, adding refusals only, as it was named.
  if (final_path.empty() || !IsRemovableLocation(final_path) || !IsRemovableLocation(named_path))
    return FolderForRemoval::Kind::kRefused;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FolderForRemoval::Kind::kLink;
  return HoldsAnotherInstallation(handle, own) ? FolderForRemoval::Kind::kRefused
                                               : FolderForRemoval::Kind::kFolder;
}

FolderForRemoval JudgeFolderForRemoval(UniqueFileHandle handle, const std::wstring& named_path,
                                       const FileIdentity& own) {
  FolderForRemoval result;
  result.kind_ = JudgeFolder(handle.get(), named_path, own);
  if (result.kind_ == FolderForRemoval::Kind::kRefused) return result;
  result.name_ = EntryName(handle.get());
  result.path_ = FinalPathOf(handle.get());
  result.handle_ = std::move(handle);
  return result;
}

FolderForRemoval OpenFolderForRemoval(const std::wstring& folder,
                                      const std::wstring& own_installation) {
  FileIdentity own;
  if (!own_installation.empty()) {
    const std::wstring own_path = AbsolutePath(own_installation);
    if (!own_path.empty()) own = IdentityOf(OpenToLook(own_path).get());
  }
  return OpenFolderForRemoval(folder, own);
}

// Opens `folder` without following a link at its last component, with
// `access` and `share`, when it opens as itself; `path` receives its
// absolute form.
UniqueFileHandle OpenFolderItself(const std::wstring& folder, DWORD access, DWORD share,
                                  std::wstring& path) {
  path = AbsolutePath(folder);
  if (path.empty()) return UniqueFileHandle();
  UniqueFileHandle handle = OpenByNtName(NtPath(path), access, share, /*follow_link=*/false);
  if (!handle || !OpensItself(path, EntryName(handle.get()))) return UniqueFileHandle();
  return handle;
}

FolderForRemoval OpenFolderForRemoval(const std::wstring& folder, const FileIdentity& own) {
  std::wstring path;
  UniqueFileHandle handle = OpenFolderItself(
      folder, FILE_LIST_DIRECTORY | DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, path);
  return handle ? JudgeFolderForRemoval(std::move(handle), path, own) : FolderForRemoval();
}

FolderForRemoval HoldFolderForRemoval(const std::wstring& folder, const FileIdentity& own) {
  std::wstring path;
  // No delete sharing: nobody renames or moves it while it is held. A
  // program's working folder there does not stand in the way of that.
  UniqueFileHandle handle = OpenFolderItself(
      folder, FILE_LIST_DIRECTORY | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, path);
  if (!handle) return FolderForRemoval();
  // Unknown: the folder is the installation itself.
  const FileIdentity installation = own.known ? own : IdentityOf(handle.get());
  return JudgeFolderForRemoval(std::move(handle), path, installation);
}

UniqueFileHandle HoldFolderAbove(HANDLE child, std::wstring& name, std::wstring& path) {
  const std::wstring real = FinalPathOf(child);
  const size_t slash = real.find_last_of(L'\\');
  if (real.empty() || slash == std::wstring::npos || slash + 1 >= real.size())
    return UniqueFileHandle();
  std::wstring parent = real.substr(0, slash);
  if (parent.size() == 2 && parent[1] == L':') parent += L'\\';  // a drive's root
  UniqueFileHandle folder = OpenByNtName(NtPath(parent), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, /*follow_link=*/true);
  const DWORD attributes = folder ? EntryAttributes(folder.get()) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      FinalPathOf(folder.get()) != parent)
    return UniqueFileHandle();
  name = real.substr(slash + 1);
  if (IdentityOf(OpenChildToLook(folder.get(), name).get()) != IdentityOf(child))
    return UniqueFileHandle();
  path = parent;
  return folder;
}

FolderForRemoval OpenFolderBelow(HANDLE base, const std::wstring& base_path,
                                 const std::wstring& relative, const FileIdentity& own) {
  UniqueFileHandle chain;
  std::wstring name;
  const HANDLE parent = OpenChainAbove(base, relative, chain, name);
  if (parent == nullptr) return FolderForRemoval();
  UniqueFileHandle folder = OpenChild(parent, name, EntryKind::kFolder);
  // Through a link, or what the system opened through one: never followed.
  if (!IsEntryItself(folder.get(), EntryName(parent), name)) return FolderForRemoval();
  return JudgeFolderForRemoval(std::move(folder), base_path + L"\\" + relative, own);
}
