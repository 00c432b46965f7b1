#include "cleanup/shortcut_removal.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "cleanup/files/native_files.h"
#include "cleanup/files/plain_file.h"
#include "cleanup/files/removal_safety.h"
#include "cleanup/files/tree_removal.h"
#include "common/unique_resource.h"

namespace {

// Shortcuts are a few KiB; anything larger is not one of the installer's.
constexpr size_t kLargestShortcut = 64 * 1024;

// COM on the calling thread for the scope's life; a thread that has it
// already keeps it as it was.
class ComScope {
 public:
  ComScope() : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }

 private:
  HRESULT result_;
};

// Whether `target` names a place on the network: a UNC or device path, or
// one on a drive the system calls remote. Told from the text and the drive's
// type alone: resolving it would contact whatever host it names.
bool IsNetworkTarget(const std::wstring& target) {
  if (target.size() >= 2 && (target[0] == L'\\' || target[0] == L'/') &&
      (target[1] == L'\\' || target[1] == L'/'))
    return true;
  if (target.size() < 2 || target[1] != L':') return false;
  const wchar_t root[] = {target[0], L':', L'\\', L'\0'};
  return ::GetDriveTypeW(root) == DRIVE_REMOTE;
}

// The absolute target of the shortcut held in `bytes`, as the shell's link
// object reads it from memory; "" when they are no shortcut, name no
// absolute path or name a place on the network, which is never the game's.
std::wstring ShortcutTarget(const std::string& bytes) {
  const ComScope com;
  const UniqueCom<IStream> stream(::SHCreateMemStream(
      reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())));
  UniqueCom<IShellLinkW> link;
  UniqueCom<IPersistStream> persist;
  if (!stream ||
      FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.put()))) ||
      FAILED(link.get()->QueryInterface(IID_IPersistStream,
                                        reinterpret_cast<void**>(persist.put()))) ||
      FAILED(persist.get()->Load(stream.get())))
    return {};
  wchar_t target[MAX_PATH] = {};
  if (link.get()->GetPath(target, MAX_PATH, nullptr, 0) != S_OK) return {};
  // A target that fills the buffer may have been cut short.
  if (::lstrlenW(target) >= MAX_PATH - 1 || IsNetworkTarget(target)) return {};
  return AbsolutePath(target);
}

bool IsIntoInstallation(const std::wstring& target, const InstallationNames& installation) {
  if (target.empty()) return false;
  for (const std::wstring& folder : installation) {
    if (IsSameOrInside(target, folder)) return true;
  }
  return false;
}

// Deletes the file `name` of the open folder `folder` (whose EntryName is
// `folder_name`) when it is a shortcut into the installation, through the
// handle it was read and judged by. Returns whether it was marked; it goes
// when that handle closes, before this returns.
bool DeleteGameShortcut(HANDLE folder, const std::wstring& folder_name, const std::wstring& name,
                        const InstallationNames& installation) {
  const UniqueFileHandle file = OpenChildToJudge(folder, name);
  // A handle that names another place came through a link.
  if (!file || !IsChildName(EntryName(file.get()), folder_name, name) ||
      !IsPlainFileHandle(file.get()))
    return false;
  std::string bytes;
  if (!ReadPlainFile(file.get(), kLargestShortcut + 1, bytes) || bytes.size() > kLargestShortcut)
    return false;
  return IsIntoInstallation(ShortcutTarget(bytes), installation) && MarkForDeletion(file.get());
}

// Tells the shell, so that the desktop and the menu drop the entry, and the
// tests' observer.
void TellRemoved(const std::wstring& path, LONG event) {
  ::SHChangeNotify(event, SHCNF_PATHW, path.c_str(), nullptr);
  ReportRemovalStep(path, RemovalStep::kRemoved);
}

bool IsShortcutName(const std::wstring& name) {
  return name.size() > 4 && ::CompareStringOrdinal(name.c_str() + name.size() - 4, 4, L".lnk", 4,
                                                   /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// Whether the open folder holds nothing; false when it cannot be listed.
bool IsEmptyFolder(HANDLE folder) {
  std::vector<FolderEntry> entries;
  return ListFolderEntries(folder, entries) && entries.empty();
}

}  // namespace

bool RemoveGameShortcut(const std::wstring& folder, const std::wstring& file_name,
                        const InstallationNames& installation) {
  const std::wstring path = AbsolutePath(folder);
  const UniqueFileHandle parent = OpenFolderToList(path);
  if (!parent || !DeleteGameShortcut(parent.get(), EntryName(parent.get()), file_name, installation))
    return false;
  TellRemoved(path + L"\\" + file_name, SHCNE_DELETE);
  return true;
}

void RemoveShortcutFolder(const std::wstring& parent, const std::wstring& name,
                          const InstallationNames& installation) {
  const std::wstring parent_path = AbsolutePath(parent);
  const UniqueFileHandle parent_handle = OpenFolderToList(parent_path);
  if (!parent_handle) return;
  UniqueFileHandle folder = OpenChild(parent_handle.get(), name, EntryKind::kFolder);
  if (!folder) return;
  // Never entered when it is a link: on Windows it opens as itself, under
  // Wine as the place it leads to.
  const std::wstring folder_name = EntryName(folder.get());
  const DWORD attributes = EntryAttributes(folder.get());
  if (!IsChildName(folder_name, EntryName(parent_handle.get()), name) ||
      attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return;
  const std::wstring path = parent_path + L"\\" + name;
  std::vector<FolderEntry> entries;
  if (!ListFolderEntries(folder.get(), entries)) return;
  for (const FolderEntry& entry : entries) {
    if (!entry.folder && IsShortcutName(entry.name) &&
        DeleteGameShortcut(folder.get(), folder_name, entry.name, installation))
      TellRemoved(path + L"\\" + entry.name, SHCNE_DELETE);
  }
  // A folder of the system's (Startup, ...) stays even when emptied.
  const std::wstring final_path = FinalPathOf(folder.get());
  if (!IsEmptyFolder(folder.get()) || final_path.empty() || !IsRemovableLocation(final_path) ||
      !IsRemovableLocation(path) || !MarkForDeletion(folder.get()))
    return;
  folder.reset();
  TellRemoved(path, SHCNE_RMDIR);
}
