#include "cleanup/own_image.h"

#include "cleanup/native_files.h"
#include "cleanup/removal_safety.h"

namespace {

struct ViewTraits {
  using Type = void*;
  static Type Invalid() { return nullptr; }
  static void Close(Type view) { ::UnmapViewOfFile(view); }
};
using UniqueView = UniqueResource<ViewTraits>;

// Whether the open file `file` is the one the program's image was mapped
// from: the system compares the two mappings' files.
bool IsRunningImageFile(HANDLE file) {
  using AreSameFn = LONG(NTAPI*)(PVOID, PVOID);
  const auto are_same = reinterpret_cast<AreSameFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtAreMappedFilesTheSame")));
  if (are_same == nullptr) return false;
  const UniqueHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return false;
  const UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  return view && are_same(::GetModuleHandleW(nullptr), view.get()) >= 0;
}

}  // namespace

UniqueFileHandle OpenOwnImage() {
  wchar_t name[MAX_PATH + 1] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, name, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return UniqueFileHandle();
  UniqueFileHandle file(::CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK || !IsRunningImageFile(file.get()))
    return UniqueFileHandle();
  return file;
}

UniqueFileHandle OpenHoldingFolder(HANDLE file, std::wstring& name, std::wstring& path) {
  const std::wstring file_path = FinalPathOf(file);
  const size_t slash = file_path.find_last_of(L'\\');
  if (file_path.empty() || slash == std::wstring::npos || slash + 1 >= file_path.size())
    return UniqueFileHandle();
  std::wstring folder_path = file_path.substr(0, slash);
  if (folder_path.size() == 2) folder_path += L'\\';  // a drive's root
  UniqueFileHandle folder(::CreateFileW(
      ExtendedPath(folder_path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
      nullptr));
  const std::wstring file_name = file_path.substr(slash + 1);
  // The folder now at that place must be the one that holds the file.
  if (!folder || IdentityOf(OpenChildToLook(folder.get(), file_name).get()) != IdentityOf(file))
    return UniqueFileHandle();
  name = file_name;
  path = file_path.substr(0, slash);
  return folder;
}
