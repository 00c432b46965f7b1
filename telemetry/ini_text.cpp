#include "telemetry/ini_text.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "common/text.h"

namespace {

// White space as the system's INI reader trims it: Ctrl-Z counts too.
bool IsIniSpace(wchar_t c) { return std::iswspace(c) || c == 0x1a; }

std::wstring Trimmed(const std::wstring& text, size_t begin, size_t end) {
  while (begin < end && IsIniSpace(text[begin])) ++begin;
  while (end > begin && IsIniSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The raw value of `key` in the first section named `section`: false when
// the key is not there or has no "=".
bool FindValue(const std::wstring& text, const std::wstring& section, const std::wstring& key,
               std::wstring& value) {
  bool in_section = false;  // lines before any header belong to none
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find(L'\n', start), text.size());
    const std::wstring line = Trimmed(text, start, end);
    start = end + 1;
    const size_t close = line.rfind(L']');
    if (!line.empty() && line[0] == L'[' && close != std::wstring::npos) {
      // Only the first section of the name is read.
      if (in_section) return false;
      in_section = SameName(line.substr(1, close - 1), section);
      continue;
    }
    const size_t equals = line.find(L'=');
    if (!in_section || equals == std::wstring::npos ||
        !SameName(Trimmed(line, 0, equals), key))
      continue;
    value = Trimmed(line, equals + 1, line.size());
    return true;
  }
  return false;
}

}  // namespace

std::wstring DecodeIniText(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return Utf8ToWide(bytes.substr(3));
  if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                   static_cast<unsigned char>(bytes[i + 1]) << 8);
    return text.c_str();  // as far as a NUL, as the other forms
  }
  return AnsiToWide(bytes);
}

std::wstring IniString(const std::wstring& text, const std::wstring& section,
                       const std::wstring& key, size_t capacity) {
  std::wstring value;
  if (capacity == 0 || !FindValue(text, section, key, value)) return {};
  if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') && value.back() == value[0])
    value = value.substr(1, value.size() - 2);
  return value.substr(0, capacity - 1);
}

int IniInt(const std::wstring& text, const std::wstring& section, const std::wstring& key,
           int fallback) {
  // The system reads the value into 30 characters first.
  const std::wstring value = IniString(text, section, key, 30);
  if (value.empty()) return fallback;
  size_t at = 0;
  while (at < value.size() && IsIniSpace(value[at])) ++at;
  const bool negative = at < value.size() && value[at] == L'-';
  if (at < value.size() && (value[at] == L'-' || value[at] == L'+')) ++at;
  unsigned int number = 0;  // wraps as the system's does
  for (; at < value.size() && value[at] >= L'0' && value[at] <= L'9'; ++at)
    number = number * 10 + static_cast<unsigned int>(value[at] - L'0');
  return static_cast<int>(negative ? 0u - number : number);
}
