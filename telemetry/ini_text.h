#pragma once
// The platform's INI file, read from its bytes the way GetPrivateProfileStringW
// and GetPrivateProfileIntW read an ordinary file, so that the file itself is
// opened only as a plain file and never by name.

#include <string>

// The text of INI file bytes: UTF-16 LE or UTF-8 after their byte-order
// marks, the ANSI code page otherwise.
std::wstring DecodeIniText(const std::string& bytes);

// The value of `key` in the first section named `section` (names compared
// without case; "key = value" lines, white space around names and values
// trimmed, one pair of matching quotes around the value removed), cut to
// `capacity` - 1 characters; "" when absent.
std::wstring IniString(const std::wstring& text, const std::wstring& section,
                       const std::wstring& key, size_t capacity = 260);

// The value of `key` read as an integer: white space, an optional sign, then
// decimal digits (0 without any); `fallback` when it is absent or empty.
int IniInt(const std::wstring& text, const std::wstring& section, const std::wstring& key,
           int fallback);
