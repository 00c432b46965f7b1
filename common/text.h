#pragma once
// Conversions between UTF-16, UTF-8 and the ANSI code page, and a printf-style
// formatter into wide strings. None of them reports failure.

#include <string>

// UTF-8 to UTF-16. Stops at the first NUL; an invalid sequence becomes the
// replacement the system converter chooses; failure gives "".
std::wstring Utf8ToWide(const std::string& text);

// System ANSI code page to UTF-16, with the same rules.
std::wstring AnsiToWide(const std::string& text);

// UTF-16 to UTF-8, with the same rules. Narrowing is always to UTF-8.
std::string WideToUtf8(const std::wstring& text);

// printf-style formatting (%s takes a wide string). Output beyond 4,095
// characters is cut.
std::wstring FormatWide(const wchar_t* format, ...);

// Whether `a` and `b` are the same text, letter case aside, as the file
// system and the registry compare names (ordinal, no locale).
bool SameName(const std::wstring& a, const std::wstring& b);
