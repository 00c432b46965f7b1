#include "cleanup/files/removal_safety.h"

#include <shlobj.h>

#include <cwctype>
#include <vector>

#include "cleanup/files/native_files.h"
#include "cleanup/files/path_operations.h"
#include "cleanup/files/shell_folders.h"
#include "common/registry_text.h"
#include "common/unique_resource.h"

namespace {

bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }

bool IsWildcard(wchar_t c) {
  return c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"' || c == L'|';
}

bool SameText(const wchar_t* a, size_t a_length, const wchar_t* b, size_t b_length) {
  return ::CompareStringOrdinal(a, static_cast<int>(a_length), b, static_cast<int>(b_length),
                                /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  if (path.size() == 3 && path[1] == L':') return path;  // "C:\"
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// Length of the drive ("C:") or share ("\\server\share") root at the start of
// a path with "\" separators; 0 when the path has neither form.
size_t RootLength(const std::wstring& path) {
  if (path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\') return 2;
  if (path.size() < 5 || path[0] != L'\\' || path[1] != L'\\') return 0;
  const size_t server_end = path.find(L'\\', 2);
  if (server_end == std::wstring::npos || server_end == 2) return 0;
  const std::wstring server = path.substr(2, server_end - 2);
  if (server == L"?" || server == L".") return 0;  // device namespace
  const size_t share_end = path.find(L'\\', server_end + 1);
  if (share_end == server_end + 1) return 0;
  return share_end == std::wstring::npos ? path.size() : share_end;
}

// The first component below the root of `path`, or "" at the root.
std::wstring TopComponent(const std::wstring& path) {
  const size_t root = RootLength(path + L"\\");
  if (root == 0 || path.size() <= root + 1) return {};
  const size_t end = path.find(L'\\', root + 1);
  return path.substr(root + 1, end == std::wstring::npos ? std::wstring::npos : end - root - 1);
}

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

// The final path of an existing folder, links followed; "" when absent.
std::wstring FinalPathOfFolder(const std::wstring& path) {
  UniqueFileHandle folder(::CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
  return folder ? FinalPathOf(folder.get()) : std::wstring();
}

// Adds `path` as named and, when it exists, as resolved through links.
void AddFolder(std::vector<std::wstring>& folders, const std::wstring& path) {
  if (path.empty()) return;
  const std::wstring resolved = ResolvedPath(path);
  if (resolved.empty()) return;
  folders.push_back(resolved);
  const std::wstring final_path = FinalPathOfFolder(resolved);
  if (!final_path.empty() && final_path != resolved) folders.push_back(final_path);
}

void AddShellFolder(std::vector<std::wstring>& folders, int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
    AddFolder(folders, buffer);
}

void AddKnownFolder(std::vector<std::wstring>& folders, const GUID& id) {
  PWSTR path = nullptr;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path))) AddFolder(folders, path);
  ::CoTaskMemFree(path);
}

std::wstring ExpandedText(const std::wstring& text) {
  wchar_t buffer[MAX_PATH * 2] = {};
  const DWORD length = ::ExpandEnvironmentStringsW(text.c_str(), buffer, MAX_PATH * 2);
  return length > 0 && length <= MAX_PATH * 2 ? std::wstring(buffer) : std::wstring();
}

void AddEnvironmentFolder(std::vector<std::wstring>& folders, const wchar_t* name) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) AddFolder(folders, buffer);
}

// A folder the registry names, its environment variables expanded.
std::wstring RegistryFolder(HKEY key, const wchar_t* name) {
  return ExpandedText(RegistryText(key, name));
}

// The profile folder of every user the machine lists, the Default and Public
// profiles and the folder that holds them.
std::vector<std::wstring> ProfileFolders() {
  std::vector<std::wstring> profiles;
  UniqueKey list;
  // Both views: a 32-bit process would otherwise be shown a copy.
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                      KEY_READ | KEY_WOW64_64KEY, list.put()) != ERROR_SUCCESS)
    return profiles;
  for (const wchar_t* name : {L"ProfilesDirectory", L"Default", L"Public"}) {
    const std::wstring folder = RegistryFolder(list.get(), name);
    if (!folder.empty()) profiles.push_back(folder);
  }
  for (DWORD index = 0;; ++index) {
    wchar_t sid[256];
    DWORD length = 256;
    if (::RegEnumKeyExW(list.get(), index, sid, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    UniqueKey profile;
    if (::RegOpenKeyExW(list.get(), sid, 0, KEY_READ | KEY_WOW64_64KEY, profile.put()) !=
        ERROR_SUCCESS)
      continue;
    const std::wstring folder = RegistryFolder(profile.get(), L"ProfileImagePath");
    if (!folder.empty()) profiles.push_back(folder);
  }
  return profiles;
}

// Subfolders every profile has or may have, by their file system names.
constexpr const wchar_t* kProfileSubfolders[] = {
    L"Desktop", L"Documents", L"My Documents", L"Downloads", L"Music", L"Pictures", L"Videos",
    L"Saved Games", L"AppData", L"AppData\\Roaming", L"AppData\\Local", L"AppData\\LocalLow",
    L"AppData\\Local\\Temp", L"AppData\\Roaming\\Microsoft\\Windows\\Start Menu",
    L"Favorites", L"Links", L"OneDrive", L"Contacts", L"Searches", L"3D Objects",
    L"Application Data", L"Local Settings", L"Start Menu", L"Recent", L"SendTo", L"Templates",
    L"Cookies", L"NetHood", L"PrintHood"};

// Folders at the top of a drive that belong to the system.
constexpr const wchar_t* kDriveSystemFolders[] = {
    L"$Recycle.Bin", L"RECYCLER", L"System Volume Information", L"Recovery", L"Config.Msi",
    L"Windows.old", L"$WinREAgent", L"$Windows.~BT", L"$Windows.~WS", L"$SysReset",
    L"$GetCurrent", L"Boot", L"EFI", L"Documents and Settings", L"MSOCache", L"PerfLogs"};

// Known folders that have no CSIDL.
constexpr GUID kKnownFolderIds[] = {
    {0x374de290, 0x123f, 0x4565, {0x91, 0x64, 0x39, 0xc4, 0x92, 0x5e, 0x46, 0x7b}},  // Downloads
    {0x4c5c32ff, 0xbb9d, 0x43b0, {0xb5, 0xb4, 0x2d, 0x72, 0xe5, 0x4e, 0xaa, 0xa4}},  // SavedGames
    {0xbfb9d5e0, 0xc6a9, 0x404c, {0xb2, 0xb2, 0xae, 0x6d, 0xb6, 0xaf, 0x49, 0x68}},  // Links
    {0x56784854, 0xc6cb, 0x462b, {0x81, 0x69, 0x88, 0xe3, 0x50, 0xac, 0xb8, 0x82}},  // Contacts
    {0x7d1d3a04, 0xdebb, 0x4115, {0x95, 0xcf, 0x2f, 0x29, 0xda, 0x29, 0x20, 0xda}},  // Searches
    {0x3d644c9b, 0x1fb8, 0x4f30, {0x9b, 0x45, 0xf6, 0x70, 0x23, 0x5f, 0x79, 0xc0}},  // PublicDownloads
    {0xdfdf76a2, 0xc82a, 0x4d63, {0x90, 0x6a, 0x56, 0x44, 0xac, 0x45, 0x73, 0x85}},  // Public
    {0x0762d272, 0xc50a, 0x4bb0, {0xa3, 0x82, 0x69, 0x7d, 0xcd, 0x72, 0x9b, 0x80}},  // UserProfiles
    {0xa520a1a4, 0x1780, 0x4ff6, {0xbd, 0x18, 0x16, 0x73, 0x43, 0xc5, 0xaf, 0x16}},  // LocalAppDataLow
    {0xa52bba46, 0xe9e1, 0x435f, {0xb3, 0xd9, 0x28, 0xda, 0xa6, 0x48, 0xc0, 0xf6}},  // OneDrive
    {0x5cd7aee2, 0x2219, 0x4a67, {0xb8, 0x5d, 0x6c, 0x9c, 0xe1, 0x56, 0x60, 0xcb}},  // UserProgramFiles
};

std::vector<std::wstring> CollectProtectedFolders() {
  std::vector<std::wstring> folders;
  for (const int csidl :
       {CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_FONTS, CSIDL_RESOURCES,
        CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86, CSIDL_PROGRAM_FILES_COMMON,
        CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA, CSIDL_PROFILE,
        CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PERSONAL,
        CSIDL_COMMON_DOCUMENTS, CSIDL_MYPICTURES, CSIDL_COMMON_PICTURES, CSIDL_MYMUSIC,
        CSIDL_COMMON_MUSIC, CSIDL_MYVIDEO, CSIDL_COMMON_VIDEO, CSIDL_STARTMENU,
        CSIDL_COMMON_STARTMENU, CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS, CSIDL_STARTUP,
        CSIDL_COMMON_STARTUP, CSIDL_TEMPLATES, CSIDL_COMMON_TEMPLATES, CSIDL_SENDTO, CSIDL_RECENT,
        CSIDL_FAVORITES, CSIDL_COMMON_FAVORITES, CSIDL_COOKIES, CSIDL_HISTORY,
        CSIDL_INTERNET_CACHE, CSIDL_NETHOOD, CSIDL_PRINTHOOD, CSIDL_ADMINTOOLS,
        CSIDL_COMMON_ADMINTOOLS, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, CSIDL_CDBURN_AREA}) {
    AddShellFolder(folders, csidl);
  }
  for (const GUID& id : kKnownFolderIds) AddKnownFolder(folders, id);
  wchar_t buffer[MAX_PATH + 1] = {};
  if (::GetWindowsDirectoryW(buffer, MAX_PATH) > 0) AddFolder(folders, buffer);
  if (::GetSystemDirectoryW(buffer, MAX_PATH) > 0) AddFolder(folders, buffer);
  if (::GetTempPathW(MAX_PATH + 1, buffer) > 0) AddFolder(folders, buffer);
  // A 32-bit process is told the 32-bit Program Files; the native one is
  // only in the environment.
  for (const wchar_t* name :
       {L"ProgramW6432", L"ProgramFiles", L"ProgramFiles(x86)", L"CommonProgramW6432",
        L"CommonProgramFiles", L"ProgramData", L"ALLUSERSPROFILE", L"SystemRoot", L"USERPROFILE",
        L"PUBLIC", L"TEMP", L"TMP", L"APPDATA", L"LOCALAPPDATA", L"OneDrive"}) {
    AddEnvironmentFolder(folders, name);
  }
  wchar_t profile[MAX_PATH] = {};
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)))
    AddFolder(folders, ParentDirectory(profile));  // the Users folder
  for (const std::wstring& user : ProfileFolders()) {
    AddFolder(folders, user);
    for (const wchar_t* subfolder : kProfileSubfolders) AddFolder(folders, user + L"\\" + subfolder);
  }
  AddFolder(folders, ComposePlatformDataPath());
  return folders;
}

// Computed once: the folders do not move while the uninstaller runs.
const std::vector<std::wstring>& ProtectedFolders() {
  static const std::vector<std::wstring> folders = CollectProtectedFolders();
  return folders;
}

bool IsAncestorOrSame(const std::wstring& path, const std::wstring& folder) {
  return IsSameOrInside(folder, path);
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

bool IsPlainKeyName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (const wchar_t c : name) {
    if (c == L'\\' || c == L'/' || c == L'"' || IsControl(c)) return false;
  }
  return true;
}

bool IsSameOrInside(const std::wstring& path, const std::wstring& folder) {
  const std::wstring p = WithoutTrailingSeparators(path);
  std::wstring f = WithoutTrailingSeparators(folder);
  if (f.empty() || p.size() < f.size()) return false;
  if (!SameText(p.data(), f.size(), f.data(), f.size())) return false;
  return p.size() == f.size() || f.back() == L'\\' || p[f.size()] == L'\\';
}

bool IsRemovableLocation(const std::wstring& path) {
  const size_t root = RootLength(path + L"\\");
  if (root == 0 || path.size() <= root + 1 || path[root] != L'\\') return false;
  const std::wstring top = TopComponent(path);
  for (const wchar_t* system : kDriveSystemFolders) {
    if (SameText(top.data(), top.size(), system, wcslen(system))) return false;
  }
  wchar_t windows[MAX_PATH + 1] = {};
  if (::GetWindowsDirectoryW(windows, MAX_PATH) > 0) {
    const std::wstring resolved = ResolvedPath(windows);
    if (!resolved.empty() && IsSameOrInside(path, resolved)) return false;
  }
  for (const std::wstring& folder : ProtectedFolders()) {
    if (IsAncestorOrSame(path, folder)) return false;
  }
  return true;
}

std::wstring FinalPathOf(HANDLE handle) {
  std::wstring final_path(32768, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(
      handle, &final_path[0], static_cast<DWORD>(final_path.size()),
      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= final_path.size()) return {};
  final_path.resize(length);
  if (final_path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + final_path.substr(8);
  if (final_path.compare(0, 4, L"\\\\?\\") == 0) final_path.erase(0, 4);
  return WithoutTrailingSeparators(final_path);
}

std::wstring AbsolutePath(const std::wstring& path) {
  std::wstring normal = path;
  for (wchar_t& c : normal) {
    if (c == L'/') c = L'\\';
  }
  if (RootLength(normal) == 0) return {};
  // A colon past the drive names a stream; wildcards would widen the target.
  for (size_t i = 0; i < normal.size(); ++i) {
    const wchar_t c = normal[i];
    if (IsWildcard(c) || IsControl(c) || (c == L':' && i != 1)) return {};
  }
  return ResolvedPath(normal);
}

std::wstring ExtendedPath(const std::wstring& absolute_path) {
  if (absolute_path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + absolute_path.substr(2);
  return L"\\\\?\\" + absolute_path;
}

std::wstring NtPath(const std::wstring& absolute_path) {
  if (absolute_path.compare(0, 4, L"\\\\?\\") == 0) return L"\\??\\" + absolute_path.substr(4);
  return L"\\??\\" + ExtendedPath(absolute_path).substr(4);
}

UniqueFileHandle OpenFolderToList(const std::wstring& path) {
  const std::wstring absolute = AbsolutePath(path);
  if (absolute.empty()) return UniqueFileHandle();
  UniqueFileHandle folder =
      OpenByNtName(NtPath(absolute), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, /*follow_link=*/true);
  const DWORD attributes = folder ? EntryAttributes(folder.get()) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return UniqueFileHandle();
  return folder;
}

UniqueFileHandle OpenParentFolder(const std::wstring& path, std::wstring& name) {
  const std::wstring absolute = AbsolutePath(path);
  const size_t slash = absolute.find_last_of(L'\\');
  if (absolute.empty() || slash == std::wstring::npos || slash + 1 >= absolute.size())
    return UniqueFileHandle();
  std::wstring parent = absolute.substr(0, slash);
  if (parent.size() == 2) parent += L'\\';  // a drive's root
  name = absolute.substr(slash + 1);
  return OpenFolderToList(parent);
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
