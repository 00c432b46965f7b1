#include "cleanup/module_files.h"

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

bool CopyFileContents(const std::wstring& source, const std::wstring& destination) {
  // Sharing write too: the running program's own file is open for it.
  UniqueFileHandle from(::CreateFileW(source.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!from) return false;
  const DWORD size = ::GetFileSize(from.get(), nullptr);
  if (::SetFilePointer(from.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;

  UniqueFileHandle to(::CreateFileW(destination.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!to) return false;

  char block[kCopyBlock + 1];
  for (;;) {
    ::ZeroMemory(block, sizeof(block));
    const DWORD position = ::SetFilePointer(from.get(), 0, nullptr, FILE_CURRENT);
    if (position == INVALID_SET_FILE_POINTER) return false;
    // Unsigned on purpose: a file grown past `size` goes on in full blocks.
    DWORD wanted = size - position;
    if (wanted > kCopyBlock) wanted = kCopyBlock;
    DWORD read = 0;
    if (!::ReadFile(from.get(), block, wanted, &read, nullptr)) return false;
    if (read == 0) return true;  // the source's end
    DWORD written = 0;
    if (!::WriteFile(to.get(), block, read, &written, nullptr) || written != read) return false;
  }
}
