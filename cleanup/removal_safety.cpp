#include "cleanup/removal_safety.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "cleanup/path_operations.h"
#include "cleanup/platform_data.h"
#include "common/unique_resource.h"

namespace {

bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }

bool IsWildcard(wchar_t c) {
  return c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"' || c == L'|';
}

bool SameTextIgnoringCase(const wchar_t* a, size_t a_length, const wchar_t* b, size_t b_length) {
  return ::CompareStringOrdinal(a, static_cast<int>(a_length), b, static_cast<int>(b_length),
                                /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// The resolved form of an absolute path: relative parts and doubled
// separators gone, short names expanded where the path exists, no trailing
// separator. "" when the system cannot resolve it.
std::wstring ResolvedPath(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  const DWORD long_needed = ::GetLongPathNameW(full.c_str(), nullptr, 0);
  if (long_needed > 0) {
    std::wstring long_form(long_needed, L'\0');
    const DWORD long_length = ::GetLongPathNameW(full.c_str(), &long_form[0], long_needed);
    if (long_length > 0 && long_length < long_needed) {
      long_form.resize(long_length);
      full = long_form;
    }
  }
  return WithoutTrailingSeparators(full);
}

// Length of the drive ("C:") or share ("\\server\share") root at the start of
// a path with "\" separators; 0 when the path has neither form.
size_t RootLength(const std::wstring& path) {
  if (path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\') return 2;
  if (path.size() < 5 || path[0] != L'\\' || path[1] != L'\\') return 0;
  const size_t server_end = path.find(L'\\', 2);
  if (server_end == std::wstring::npos || server_end == 2) return 0;
  const std::wstring server = path.substr(2, server_end - 2);
  if (server == L"?" || server == L".") return 0;  // device namespace
  const size_t share_end = path.find(L'\\', server_end + 1);
  if (share_end == server_end + 1) return 0;
  return share_end == std::wstring::npos ? path.size() : share_end;
}

// Whether `path` (resolved) lies at least one level below its root.
bool IsBelowRoot(const std::wstring& path) {
  const size_t root = RootLength(path + L"\\");
  return root != 0 && path.size() > root + 1 && path[root] == L'\\';
}

void AddFolder(std::vector<std::wstring>& folders, const std::wstring& path) {
  if (path.empty()) return;
  const std::wstring resolved = ResolvedPath(path);
  if (!resolved.empty()) folders.push_back(resolved);
}

void AddShellFolder(std::vector<std::wstring>& folders, int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
    AddFolder(folders, buffer);
}

void AddEnvironmentFolder(std::vector<std::wstring>& folders, const wchar_t* name) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) AddFolder(folders, buffer);
}

// The system's known folders, resolved. Several sources name the same
// folder; each one only adds refusals.
std::vector<std::wstring> KnownFolders() {
  std::vector<std::wstring> folders;
  for (const int csidl :
       {CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86,
        CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA,
        CSIDL_PROFILE, CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PERSONAL,
        CSIDL_COMMON_DOCUMENTS, CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU, CSIDL_PROGRAMS,
        CSIDL_COMMON_PROGRAMS, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA}) {
    AddShellFolder(folders, csidl);
  }
  wchar_t buffer[MAX_PATH + 1] = {};
  if (::GetWindowsDirectoryW(buffer, MAX_PATH) > 0) AddFolder(folders, buffer);
  if (::GetSystemDirectoryW(buffer, MAX_PATH) > 0) AddFolder(folders, buffer);
  if (::GetTempPathW(MAX_PATH + 1, buffer) > 0) AddFolder(folders, buffer);
  // A 32-bit process is told the 32-bit Program Files; the native one is
  // only in the environment.
  for (const wchar_t* name : {L"ProgramW6432", L"ProgramFiles", L"ProgramFiles(x86)",
                              L"ProgramData", L"SystemRoot", L"USERPROFILE", L"PUBLIC", L"TEMP",
                              L"TMP"}) {
    AddEnvironmentFolder(folders, name);
  }
  // The Users folder: the parent of the user's profile.
  wchar_t profile[MAX_PATH] = {};
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)))
    AddFolder(folders, ParentDirectory(profile));
  AddFolder(folders, ComposePlatformDataPath());
  return folders;
}

bool IsSameOrAncestor(const std::wstring& path, const std::wstring& known) {
  if (known.size() < path.size()) return false;
  if (known.size() > path.size() && known[path.size()] != L'\\') return false;
  return SameTextIgnoringCase(path.data(), path.size(), known.data(), path.size());
}

bool IsInside(const std::wstring& path, const std::wstring& folder) {
  return path.size() > folder.size() && IsSameOrAncestor(folder, path);
}

// The known-folder rules on one resolved path.
bool ClearsKnownFolders(const std::wstring& path, const std::vector<std::wstring>& known) {
  if (!IsBelowRoot(path)) return false;
  for (const std::wstring& folder : known) {
    if (IsSameOrAncestor(path, folder)) return false;
  }
  wchar_t windows[MAX_PATH + 1] = {};
  if (::GetWindowsDirectoryW(windows, MAX_PATH) > 0) {
    const std::wstring resolved = ResolvedPath(windows);
    if (!resolved.empty() && IsInside(path, resolved)) return false;
  }
  return true;
}

// Where an existing folder really is, links on the way followed ("" when it
// does not exist or the system cannot tell).
std::wstring FinalPath(const std::wstring& path) {
  UniqueFileHandle folder(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
  if (!folder) return {};
  std::wstring final_path(32768, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(
      folder.get(), &final_path[0], static_cast<DWORD>(final_path.size()),
      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= final_path.size()) return {};
  final_path.resize(length);
  if (final_path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + final_path.substr(8);
  if (final_path.compare(0, 4, L"\\\\?\\") == 0) return final_path.substr(4);
  return final_path;
}

}  // namespace

bool IsPlainName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  if (name.back() == L'.' || name.back() == L' ') return false;
  for (const wchar_t c : name) {
    if (c == L'\\' || c == L'/' || c == L':' || IsWildcard(c) || IsControl(c)) return false;
  }
  return true;
}

bool IsSafeRemovalTarget(const std::wstring& folder) {
  std::wstring path = folder;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (RootLength(path) == 0) return false;
  // A colon past the drive names a stream; wildcards would widen the target.
  for (size_t i = 0; i < path.size(); ++i) {
    const wchar_t c = path[i];
    if (IsWildcard(c) || IsControl(c) || (c == L':' && i != 1)) return false;
  }
  const std::wstring resolved = ResolvedPath(path);
  if (resolved.empty()) return false;
  const std::vector<std::wstring> known = KnownFolders();
  if (!ClearsKnownFolders(resolved, known)) return false;
  const std::wstring final_path = FinalPath(resolved);
  return final_path.empty() || ClearsKnownFolders(WithoutTrailingSeparators(final_path), known);
}
