#include "app/relocation/own_image.h"

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"
#include "common/system_library.h"

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
  const auto are_same = GetLoadedFunction<AreSameFn>(L"ntdll.dll", "NtAreMappedFilesTheSame");
  if (are_same == nullptr) return false;
  const UniqueHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return false;
  const UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  return view && are_same(::GetModuleHandleW(nullptr), view.get()) >= 0;
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
  // Opened natively, so that another program's oplock on the file cannot
  // make the open wait.
  UniqueFileHandle file = IfRunningImage(OpenFileByNtName(NtPath(name)));
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
  return IfRunningImage(OpenFileByNtName(mapped));
}
