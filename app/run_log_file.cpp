#include "app/run_log_file.h"

#include <windows.h>

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"
#include "common/run_log.h"
#include "common/unique_resource.h"

void OpenRunLog(const std::wstring& path) {
  std::wstring name;
  const UniqueFileHandle folder = OpenParentFolder(path, name);
  if (!folder) return;
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

