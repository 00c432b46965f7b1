#include "cleanup/files/plain_file.h"

#include <algorithm>

#include "cleanup/files/native_files.h"
#include "cleanup/files/removal_safety.h"

bool IsPlainFileHandle(HANDLE file) {
  const DWORD attributes = EntryAttributes(file);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                         FILE_ATTRIBUTE_DEVICE)) &&
         ::GetFileType(file) == FILE_TYPE_DISK;
}

UniqueFileHandle OpenPlainFile(HANDLE folder, const std::wstring& relative) {
  UniqueFileHandle chain;
  std::wstring name;
  const HANDLE parent = OpenChainAbove(folder, relative, chain, name);
  if (parent == nullptr) return UniqueFileHandle();
  UniqueFileHandle file = OpenChildToRead(parent, name, EntryKind::kFile);
  // A handle that names another place came through a link.
  return IsEntryItself(file.get(), EntryName(parent), name) && IsPlainFileHandle(file.get())
             ? std::move(file)
             : UniqueFileHandle();
}

UniqueFileHandle OpenPlainFileAt(const std::wstring& path) {
  std::wstring name;
  const UniqueFileHandle folder = OpenParentFolder(path, name);
  return folder ? OpenPlainFile(folder.get(), name) : UniqueFileHandle();
}

bool ReadPlainFile(HANDLE file, size_t limit, std::string& bytes) {
  bytes.clear();
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  char block[4096];
  while (bytes.size() < limit) {
    const DWORD wanted = static_cast<DWORD>(std::min(sizeof(block), limit - bytes.size()));
    DWORD read = 0;
    if (!::ReadFile(file, block, wanted, &read, nullptr)) return false;
    if (read == 0) break;
    bytes.append(block, read);
  }
  return true;
}
