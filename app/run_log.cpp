#include "app/run_log.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

#include "cleanup/native_files.h"
#include "cleanup/removal_safety.h"
#include "common/text.h"
#include "common/unique_resource.h"

namespace {

UniqueFileHandle& LogFile() {
  static UniqueFileHandle file;
  return file;
}

}  // namespace

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
  LogFile() = std::move(file);
}

void LogLine(const wchar_t* format, ...) {
  if (!LogFile()) return;
  wchar_t text[4096] = {};
  va_list arguments;
  va_start(arguments, format);
  (void)_vsnwprintf_s(text, 4096, _TRUNCATE, format, arguments);
  va_end(arguments);
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const std::string line =
      WideToUtf8(FormatWide(L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] %s", now.wYear, now.wMonth,
                            now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                            ::GetCurrentProcessId(), text)) +
      "\r\n";
  DWORD written = 0;
  (void)::WriteFile(LogFile().get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
