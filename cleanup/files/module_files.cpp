#include "cleanup/files/module_files.h"

#include <windows.h>

#include "common/unique_resource.h"

namespace {

constexpr DWORD kCopyBlock = 4096;

}  // namespace

std::wstring GetModuleDirectory() {
  wchar_t path[MAX_PATH] = {};
  (void)::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring file(path);
  const size_t slash = file.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : file.substr(0, slash);
}

std::wstring GetTempDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH, path);
  // A length above the buffer is the size the system would have needed.
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(path, length);
}

bool CopyFileContents(HANDLE source, HANDLE destination) {
  const DWORD size = ::GetFileSize(source, nullptr);
  if (::SetFilePointer(source, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
  char block[kCopyBlock + 1];
  for (;;) {
    ::ZeroMemory(block, sizeof(block));
    const DWORD position = ::SetFilePointer(source, 0, nullptr, FILE_CURRENT);
    if (position == INVALID_SET_FILE_POINTER) return false;
    // Unsigned on purpose: a file grown past `size` goes on in full blocks.
    DWORD wanted = size - position;
    if (wanted > kCopyBlock) wanted = kCopyBlock;
    DWORD read = 0;
    if (!::ReadFile(source, block, wanted, &read, nullptr)) return false;
    if (read == 0) return true;  // the source's end
    DWORD written = 0;
    if (!::WriteFile(destination, block, read, &written, nullptr) || written != read) return false;
  }
}

bool SameContents(HANDLE a, HANDLE b) {
  if (::SetFilePointer(a, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      ::SetFilePointer(b, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    return false;
  char block_a[kCopyBlock], block_b[kCopyBlock];
  for (;;) {
    DWORD read_a = 0, read_b = 0;
    if (!::ReadFile(a, block_a, kCopyBlock, &read_a, nullptr) ||
        !::ReadFile(b, block_b, kCopyBlock, &read_b, nullptr) || read_a != read_b ||
        memcmp(block_a, block_b, read_a) != 0)
      return false;
    if (read_a == 0) return true;
  }
}
