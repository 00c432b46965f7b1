#include "cleanup/plain_file.h"

#include <algorithm>

#include "cleanup/native_files.h"
#include "cleanup/removal_safety.h"

bool IsPlainFileHandle(HANDLE file) {
  const DWORD attributes = EntryAttributes(file);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                         FILE_ATTRIBUTE_DEVICE)) &&
         ::GetFileType(file) == FILE_TYPE_DISK;
}

UniqueFileHandle OpenPlainFile(HANDLE folder, const std::wstring& relative) {
  UniqueFileHandle current;
  HANDLE parent = folder;
  std::wstring parent_name = EntryName(folder);
  size_t start = 0;
  for (;;) {
    const size_t end = relative.find(L'\\', start);
    const bool last = end == std::wstring::npos;
    const std::wstring name = relative.substr(start, last ? std::wstring::npos : end - start);
    UniqueFileHandle next =
        OpenChildToRead(parent, name, last ? EntryKind::kFile : EntryKind::kFolder);
    if (!next) return UniqueFileHandle();
    std::wstring next_name = EntryName(next.get());
    // A handle that names another place came through a link.
    if (!IsChildName(next_name, parent_name, name)) return UniqueFileHandle();
    if (last) return IsPlainFileHandle(next.get()) ? std::move(next) : UniqueFileHandle();
    if (EntryAttributes(next.get()) & FILE_ATTRIBUTE_REPARSE_POINT) return UniqueFileHandle();
    current = std::move(next);
    parent = current.get();
    parent_name = std::move(next_name);
    start = end + 1;
  }
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
