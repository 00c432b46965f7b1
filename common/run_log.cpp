#include "common/run_log.h"

#include <cstdarg>
#include <cwchar>
#include <string>

#include "common/text.h"

namespace {

UniqueFileHandle& LogFile() {
  static UniqueFileHandle file;
  return file;
}

}  // namespace

void SetRunLog(UniqueFileHandle file) { LogFile() = std::move(file); }

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
