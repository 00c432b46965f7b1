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

// Characters that would start a line of their own, or make a reader see the
// line otherwise than it is written.
bool NeedsEscape(wchar_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

void SetRunLog(UniqueFileHandle file) { LogFile() = std::move(file); }

HANDLE RunLogHandle() { return LogFile() ? LogFile().get() : nullptr; }

std::wstring EscapedForLog(const std::wstring& text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (const wchar_t c : text) {
    if (NeedsEscape(c)) escaped += FormatWide(L"<U+%04X>", static_cast<unsigned>(c));
    else escaped += c;
  }
  return escaped;
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
  const std::wstring stamp =
      FormatWide(L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", now.wYear, now.wMonth, now.wDay,
                 now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, ::GetCurrentProcessId());
  const std::string line = WideToUtf8(stamp + EscapedForLog(text)) + "\r\n";
  DWORD written = 0;
  (void)::WriteFile(LogFile().get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
