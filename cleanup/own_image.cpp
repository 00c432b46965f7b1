#include "cleanup/own_image.h"

#include <winternl.h>

#include "cleanup/native_files.h"
#include "common/system_library.h"
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

// Opens `nt_name` ("\Device\...\x.exe" or "\??\C:\...\x.exe") to read,
// sharing reading only.
UniqueFileHandle OpenByNtName(const std::wstring& nt_name) {
  using NtOpenFileFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
  const auto open = reinterpret_cast<NtOpenFileFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtOpenFile")));
  if (open == nullptr || nt_name.empty() || nt_name.size() > 32767) return UniqueFileHandle();
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(nt_name.c_str());
  name.Length = name.MaximumLength = static_cast<USHORT>(nt_name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK io = {};
  constexpr ULONG kSynchronousNonDirectory = 0x00000020 | 0x00000040;
  if (open(&handle, GENERIC_READ | SYNCHRONIZE, &attributes, &io, FILE_SHARE_READ, kSynchronousNonDirectory) < 0)
    return UniqueFileHandle();
  return UniqueFileHandle(handle);
}

// The file at `file` when it is a disk file and the running image's.
UniqueFileHandle IfRunningImage(UniqueFileHandle file) {
  if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK || !IsRunningImageFile(file.get()))
    return UniqueFileHandle();
  return file;
}

}  // namespace

UniqueFileHandle OpenOwnImage() {
  wchar_t name[MAX_PATH + 1] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, name, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return UniqueFileHandle();
  UniqueFileHandle file = IfRunningImage(UniqueFileHandle(::CreateFileW(
      name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (file) return file;
  // The name the program was started by holds another file now: the
  // system's name of the mapped image is where the file is now.
  using GetMappedFileNameFn = DWORD(WINAPI*)(HANDLE, LPVOID, LPWSTR, DWORD);
  const UniqueLibrary psapi = LoadSystemLibrary(L"psapi.dll");
  const auto mapped_name = GetLibraryFunction<GetMappedFileNameFn>(psapi, "GetMappedFileNameW");
  std::wstring mapped(MAX_PATH * 4, L'\0');
  const DWORD mapped_length =
      mapped_name ? mapped_name(::GetCurrentProcess(), ::GetModuleHandleW(nullptr), &mapped[0],
                                static_cast<DWORD>(mapped.size()))
                  : 0;
  if (mapped_length == 0 || mapped_length >= mapped.size()) return UniqueFileHandle();
  mapped.resize(mapped_length);
  return IfRunningImage(OpenByNtName(mapped));
}

UniqueFileHandle OpenHoldingFolder(HANDLE file, std::wstring& name, std::wstring& path) {
  const std::wstring file_path = FinalPathOf(file);
  const size_t slash = file_path.find_last_of(L'\\');
  if (file_path.empty() || slash == std::wstring::npos || slash + 1 >= file_path.size())
    return UniqueFileHandle();
  std::wstring ignored;
  UniqueFileHandle folder = OpenParentFolder(file_path, ignored);
  if (!folder) return UniqueFileHandle();
  // The folder now at that place must be the one that holds the file, under
  // the name the system gives or, where that name is stale (Wine after a
  // rename), under another.
  const FileIdentity identity = IdentityOf(file);
  name = file_path.substr(slash + 1);
  if (IdentityOf(OpenChildToLook(folder.get(), name).get()) == identity) {
    path = file_path.substr(0, slash);
    return folder;
  }
  std::vector<FolderEntry> entries;
  if (!ListFolderEntries(folder.get(), entries)) return UniqueFileHandle();
  for (const FolderEntry& entry : entries) {
    if (entry.folder || IdentityOf(OpenChildToLook(folder.get(), entry.name).get()) != identity) continue;
    name = entry.name;
    path = file_path.substr(0, slash);
    return folder;
  }
  return UniqueFileHandle();
}
