#include "cleanup/platform_data.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"
#include "cleanup/files/shell_folders.h"
#include "common/unique_resource.h"

namespace {

// Opens the folder `name` of the open folder `parent`, creating it when
// missing; invalid unless what is there is a plain folder, itself and not a
// place a link leads to.
UniqueFileHandle OpenOrCreateFolder(HANDLE parent, const std::wstring& parent_name,
                                    const std::wstring& name) {
  UniqueFileHandle folder = OpenChildToRead(parent, name, EntryKind::kFolder);
  if (!folder)
    folder = CreateChild(parent, name, EntryKind::kFolder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         /*security=*/nullptr);
  if (!folder) return UniqueFileHandle();
  if (!IsEntryItself(folder.get(), parent_name, name) ||
      !(EntryAttributes(folder.get()) & FILE_ATTRIBUTE_DIRECTORY))
    return UniqueFileHandle();
  return folder;
}

// Creates the platform data folder `path` below the user's profile, if it
// lies there; elsewhere nothing is created.
void CreateInProfile(const std::wstring& path) {
  const std::wstring profile = AbsolutePath(ShellFolderPath(CSIDL_PROFILE));
  const std::wstring absolute = AbsolutePath(path);
  if (profile.empty() || absolute.size() <= profile.size() + 1 ||
      !IsSameOrInside(absolute, profile))
    return;
  (void)CreatePlainFolders(profile, absolute.substr(profile.size() + 1));
}

}  // namespace

bool CreatePlainFolders(const std::wstring& top, const std::wstring& relative) {
  const std::wstring top_path = AbsolutePath(top);
  if (top_path.empty()) return false;
  UniqueFileHandle current = OpenFolderToList(top_path);
  std::wstring current_name = current ? EntryName(current.get()) : std::wstring();
  for (size_t start = 0; current && start < relative.size();) {
    const size_t end = std::min(relative.find(L'\\', start), relative.size());
    const std::wstring name = relative.substr(start, end - start);
    if (!IsPlainName(name)) return false;
    current = OpenOrCreateFolder(current.get(), current_name, name);
    current_name = current ? EntryName(current.get()) : std::wstring();
    start = end + 1;
  }
  return current.valid();
}

void PlatformDataDirectory(std::wstring& out) {
  static const std::wstring kept = [] {
    std::wstring path = ComposePlatformDataPath();
    CreateInProfile(path);
    return path;
  }();
  out = kept;
}
