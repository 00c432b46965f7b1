#include "app/run_log_file.h"

#include <windows.h>

#include "cleanup/native_files.h"
#include "cleanup/removal_safety.h"
#include "common/run_log.h"
#include "common/unique_resource.h"

void OpenRunLog(const std::wstring& path) {
  const std::wstring absolute = AbsolutePath(path);
  const size_t slash = absolute.find_last_of(L'\\');
  if (absolute.empty() || slash == std::wstring::npos || slash + 1 >= absolute.size()) return;
  std::wstring parent = absolute.substr(0, slash);
  if (parent.size() == 2) parent += L'\\';  // a drive's root
  const UniqueFileHandle folder(::CreateFileW(
      ExtendedPath(parent).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return;
  const std::wstring name = absolute.substr(slash + 1);
  UniqueFileHandle file = OpenFileToAppend(folder.get(), name);
  const DWORD attributes = file ? EntryAttributes(file.get()) : INVALID_FILE_ATTRIBUTES;
  // What the system opened through a link names another place.
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      ::GetFileType(file.get()) != FILE_TYPE_DISK ||
      !IsChildName(EntryName(file.get()), EntryName(folder.get()), name))
    return;
  SetRunLog(std::move(file));
}

