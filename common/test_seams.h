#pragma once
// Seams that only the test build has: values the tests set through the
// environment to stand in for what Wine cannot do or for long waits. The
// release build compiles every seam to its fallback.

#include <windows.h>

#include <cwchar>
#include <string>

// The integer in environment variable `name`, or `fallback` (always in the
// release build).
inline long TestSeamNumber(const wchar_t* name, long fallback) {
#if defined(UNINSTALL_TEST_BUILD)
  wchar_t value[64] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, value, 64);
  if (length == 0 || length >= 64) return fallback;
  wchar_t* end = nullptr;
  const long number = std::wcstol(value, &end, 10);
  return (end != value && *end == L'\0') ? number : fallback;
#else
  (void)name;
  return fallback;
#endif
}

// True when environment variable `name` is set to "1" (never in the release
// build).
inline bool TestSeamFlag(const wchar_t* name) { return TestSeamNumber(name, 0) == 1; }

// The text in environment variable `name`, or "" (always in the release
// build).
inline std::wstring TestSeamText(const wchar_t* name) {
#if defined(UNINSTALL_TEST_BUILD)
  wchar_t value[512] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, value, 512);
  return length > 0 && length < 512 ? std::wstring(value, length) : std::wstring();
#else
  (void)name;
  return std::wstring();
#endif
}
