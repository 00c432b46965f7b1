#include "common/text.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

namespace {

template <typename To, typename Convert>
std::basic_string<To> ConvertWhole(Convert convert) {
  // First call asks for the size, terminator included; the source is read up
  // to its first NUL.
  const int size = convert(nullptr, 0);
  if (size <= 0) return {};
  std::vector<To> scratch(static_cast<size_t>(size), To{});
  convert(scratch.data(), size);
  return std::basic_string<To>(scratch.data());
}

std::wstring NarrowToWide(UINT code_page, const std::string& text) {
  return ConvertWhole<wchar_t>([&](wchar_t* out, int size) {
    return ::MultiByteToWideChar(code_page, 0, text.c_str(), -1, out, size);
  });
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) { return NarrowToWide(CP_UTF8, text); }

std::wstring AnsiToWide(const std::string& text) { return NarrowToWide(CP_ACP, text); }

std::string WideToUtf8(const std::wstring& text) {
  return ConvertWhole<char>([&](char* out, int size) {
    return ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, size, nullptr, nullptr);
  });
}

std::wstring FormatWide(const wchar_t* format, ...) {
  wchar_t buffer[4096] = {};
  va_list args;
  va_start(args, format);
  // Truncating mode: longer output is cut at 4,095 and still terminated.
  (void)_vsnwprintf_s(buffer, sizeof(buffer) / sizeof(buffer[0]), _TRUNCATE, format, args);
  va_end(args);
  return std::wstring(buffer);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}
