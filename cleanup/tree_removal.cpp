#include "cleanup/tree_removal.h"

#include <windows.h>
#include <shellapi.h>

#include <cwctype>
#include <deque>

#include "cleanup/path_operations.h"
#include "cleanup/removal_safety.h"
#include "common/test_seams.h"
#include "common/unique_resource.h"

namespace {

#if defined(UNINSTALL_TEST_BUILD)
RemovalObserver& Observer() {
  static RemovalObserver observer;
  return observer;
}
#endif

void Notify(const std::wstring& path, bool removed) {
#if defined(UNINSTALL_TEST_BUILD)
  if (Observer()) Observer()(path, removed);
#else
  (void)path;
  (void)removed;
#endif
}

bool IsDriveAbsolute(const std::wstring& path) {
  return path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' &&
         (path[2] == L'\\' || path[2] == L'/');
}

bool IsShareAbsolute(const std::wstring& path) {
  return path.size() >= 3 && (path[0] == L'\\' || path[0] == L'/') &&
         (path[1] == L'\\' || path[1] == L'/') && path[2] != L'?' && path[2] != L'.';
}

// The form the platform calls get. An absolute path is resolved once
// (separators, relative parts) and put in the "\\?\" form, which has no
// length limit and takes names exactly as listed; anything else is passed as
// given. No trailing separator.
std::wstring CallForm(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
  const bool share = IsShareAbsolute(path);
  if (!IsDriveAbsolute(path) && !share) return path;
  std::wstring normal = path;
  NormalizeSeparators(normal);  // also turns the leading pair of a share into one
  if (share) normal.insert(0, L"\\");
  const DWORD needed = ::GetFullPathNameW(normal.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(normal.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return share ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

bool IsDots(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') ||
         (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// A search over `call_folder`'s entries matching `pattern`; invalid when the
// folder cannot be listed.
UniqueFind StartListing(const std::wstring& call_folder, const std::wstring& pattern,
                        WIN32_FIND_DATAW& data) {
#if defined(UNINSTALL_TEST_BUILD)
  // Stands in for a folder that denies listing, which root under Wine never
  // meets.
  const std::wstring unlistable = TestSeamText(L"UNINSTALL_TEST_UNLISTABLE");
  if (!unlistable.empty()) {
    const size_t slash = call_folder.find_last_of(L'\\');
    if (call_folder.compare(slash + 1, std::wstring::npos, unlistable) == 0) {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return UniqueFind();
    }
  }
#endif
  const std::wstring query = call_folder + L"\\" + pattern;
  return UniqueFind(::FindFirstFileExW(query.c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
}

bool MatchesEveryName(const std::wstring& pattern) { return pattern == L"*" || pattern == L"*.*"; }

// What one walk found, as paths relative to its root.
struct Walk {
  PathList folders;         // walk order; links included
  std::vector<bool> links;  // per folder: a reparse point, never entered
  PathList files;           // only when asked for: walk order, the root's last
};

std::wstring Child(const std::wstring& relative, const wchar_t* name) {
  return relative.empty() ? std::wstring(name) : relative + L"\\" + name;
}

std::wstring CallPath(const std::wstring& call_root, const std::wstring& relative) {
  return relative.empty() ? call_root : call_root + L"\\" + relative;
}

// Appends the files of one folder matching `pattern` to `files`.
void ListFilesRelative(const std::wstring& call_root, const std::wstring& relative,
                       const std::wstring& pattern, PathList& files) {
  WIN32_FIND_DATAW data;
  UniqueFind find = StartListing(CallPath(call_root, relative), pattern, data);
  if (!find) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      files.push_back(Child(relative, data.cFileName));
  } while (::FindNextFileW(find.get(), &data));
}

// Lists one folder: its subfolders go to the walk (real ones also to the
// queue), its files to `files` when given. False when it cannot be listed.
bool ListFolder(const std::wstring& call_root, const std::wstring& relative,
                const std::wstring& pattern, Walk& walk, std::deque<size_t>& queue,
                PathList* files) {
  WIN32_FIND_DATAW data;
  UniqueFind find = StartListing(CallPath(call_root, relative), pattern, data);
  if (!find) return false;
  do {
    const DWORD attributes = data.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (IsDots(data.cFileName)) continue;
      const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      walk.folders.push_back(Child(relative, data.cFileName));
      walk.links.push_back(link);
      if (!link) queue.push_back(walk.folders.size() - 1);
    } else if (files != nullptr) {
      files->push_back(Child(relative, data.cFileName));
    }
  } while (::FindNextFileW(find.get(), &data));
  return true;
}

// Breadth-first walk below `call_root`. A folder that cannot be listed ends
// it; the folders already found stay in the result. With `with_files`, the
// files come from the same listings (the pattern must match every name),
// and the folders the walk did not reach are listed for their files alone.
Walk WalkTree(const std::wstring& call_root, const std::wstring& pattern, bool with_files) {
  Walk walk;
  std::deque<size_t> queue;
  PathList root_files;
  if (!ListFolder(call_root, L"", pattern, walk, queue, with_files ? &root_files : nullptr))
    return walk;
  while (!queue.empty()) {
    // A copy: listing appends to walk.folders, which may move its strings.
    const std::wstring current = walk.folders[queue.front()];
    queue.pop_front();
    if (ListFolder(call_root, current, pattern, walk, queue, with_files ? &walk.files : nullptr))
      continue;
    if (with_files) {
      ListFilesRelative(call_root, current, pattern, walk.files);
      for (const size_t waiting : queue)
        ListFilesRelative(call_root, walk.folders[waiting], pattern, walk.files);
    }
    break;
  }
  walk.files.insert(walk.files.end(), root_files.begin(), root_files.end());
  return walk;
}

void AppendUnder(const std::wstring& root, const PathList& relatives, PathList& out) {
  out.reserve(out.size() + relatives.size());
  for (const std::wstring& relative : relatives) out.push_back(root + L"\\" + relative);
}

enum class RootKind { kRefused, kLink, kFolder };

// Whether `root` may be emptied, and its call form.
RootKind InspectRoot(const std::wstring& root, std::wstring& call_root) {
  if (!IsSafeRemovalTarget(root)) return RootKind::kRefused;
  call_root = CallForm(root);
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileExW(call_root.c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, 0));
  if (!find || !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return RootKind::kRefused;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return RootKind::kLink;
  // The listing can miss what the folder itself reports (Windows tells
  // through the handle).
  UniqueFileHandle folder(::CreateFileW(
      call_root.c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!folder || !::GetFileInformationByHandle(folder.get(), &info)) return RootKind::kRefused;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return RootKind::kLink;
  return RootKind::kFolder;
}

bool RemoveFolder(const std::wstring& call_path) {
  const bool removed = ::RemoveDirectoryW(call_path.c_str()) != FALSE;
  Notify(call_path, removed);
  return removed;
}

bool DeleteFilesBelow(const std::wstring& call_root) {
  const Walk walk = WalkTree(call_root, L"*", /*with_files=*/true);
  bool last = false;
  for (const std::wstring& file : walk.files) {
    const std::wstring call_path = call_root + L"\\" + file;
    last = ::DeleteFileW(call_path.c_str()) != FALSE;
    Notify(call_path, last);
  }
  return last;
}

bool RemoveFoldersBelow(const std::wstring& call_root) {
  // A second walk, now that the files are gone. Links are removed as links:
  // RemoveDirectoryW never enters them.
  const Walk walk = WalkTree(call_root, L"*", /*with_files=*/false);
  if (walk.folders.empty()) return true;
  bool last = false;
  for (auto folder = walk.folders.rbegin(); folder != walk.folders.rend(); ++folder)
    last = RemoveFolder(call_root + L"\\" + *folder);
  return last;
}

bool IsAbsolute(const std::wstring& path) { return IsDriveAbsolute(path) || IsShareAbsolute(path); }

}  // namespace

bool CollectSubdirectories(const std::wstring& root, PathList& out, const std::wstring& pattern) {
  const Walk walk = WalkTree(CallForm(root), pattern, /*with_files=*/false);
  for (size_t i = 0; i < walk.folders.size(); ++i) {
    if (!walk.links[i]) out.push_back(root + L"\\" + walk.folders[i]);
  }
  return !out.empty();
}

bool ListFiles(const std::wstring& folder, PathList& out, const std::wstring& pattern) {
  out.clear();
  PathList names;
  ListFilesRelative(CallForm(folder), L"", pattern, names);
  AppendUnder(folder, names, out);
  return !out.empty();
}

bool CollectFilesRecursive(const std::wstring& root, PathList& out,
                           const std::wstring& folder_pattern, const std::wstring& file_pattern) {
  out.clear();
  if (MatchesEveryName(folder_pattern) && MatchesEveryName(file_pattern)) {
    // One listing per folder serves both.
    AppendUnder(root, WalkTree(CallForm(root), folder_pattern, /*with_files=*/true).files, out);
    return !out.empty();
  }
  PathList folders;
  (void)CollectSubdirectories(root, folders, folder_pattern);
  folders.push_back(root);
  PathList files;
  for (const std::wstring& folder : folders) {
    (void)ListFiles(folder, files, file_pattern);
    out.insert(out.end(), files.begin(), files.end());
  }
  return !out.empty();
}

bool DeleteAllFiles(const std::wstring& root) {
  std::wstring call_root;
  if (InspectRoot(root, call_root) != RootKind::kFolder) return false;
  return DeleteFilesBelow(call_root);
}

bool RemoveAllSubdirectories(const std::wstring& root) {
  std::wstring call_root;
  if (InspectRoot(root, call_root) != RootKind::kFolder) return false;
  return RemoveFoldersBelow(call_root);
}

void RemoveDirectoryTree(const std::wstring& root) {
  std::wstring call_root;
  switch (InspectRoot(root, call_root)) {
    case RootKind::kRefused:
      return;
    case RootKind::kLink:
      (void)RemoveFolder(call_root);  // the link only; its target is not ours
      return;
    case RootKind::kFolder:
      (void)DeleteFilesBelow(call_root);
      (void)RemoveFoldersBelow(call_root);
      (void)RemoveFolder(call_root);
      return;
  }
}

void ShellDeleteFile(const std::wstring& path) {
  // The shell's delete expands wildcards and takes whole folders; this is
  // for one file only.
  if (!IsAbsolute(path) || path.find_first_of(L"*?") != std::wstring::npos) return;
  const std::wstring call_path = CallForm(path);
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileExW(call_path.c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, 0));
  if (!find || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  find.reset();
  if (path.size() >= MAX_PATH - 1) {
    // Too long for the shell's list; the file is deleted directly.
    (void)::DeleteFileW(call_path.c_str());
    return;
  }
  std::wstring list = path;
  list.push_back(L'\0');  // ends the path; the string's own NUL ends the list
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = list.c_str();
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
  (void)::SHFileOperationW(&operation);
}

#if defined(UNINSTALL_TEST_BUILD)
void SetRemovalObserverForTesting(RemovalObserver observer) { Observer() = std::move(observer); }
#endif
