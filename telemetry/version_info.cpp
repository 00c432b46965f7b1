#include "telemetry/version_info.h"

#include <cwchar>
#include <cwctype>

#include <pugixml.hpp>

#include "cleanup/files/plain_file.h"
#include "cleanup/platform_data.h"
#include "common/test_seams.h"
#include "common/deprecation.h"
#include "common/text.h"
#include "common/unique_resource.h"
#include "telemetry/ini_text.h"

namespace {

constexpr wchar_t kPlatformUninstallKey[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\brimlake";

// The platform's files are a few hundred bytes; a larger one is not read.
constexpr size_t kLargestPlatformFile = 64 * 1024;

// Reads the platform's file at `path` when it is a plain file (no link, pipe
// or device) of at most kLargestPlatformFile bytes, without waiting on
// anyone. False, with `bytes` empty, otherwise.
bool ReadPlatformFile(const std::wstring& path, std::string& bytes) {
  const UniqueFileHandle file = OpenPlainFileAt(path);
  if (file && ReadPlainFile(file.get(), kLargestPlatformFile + 1, bytes) &&
      bytes.size() <= kLargestPlatformFile)
    return true;
  bytes.clear();
  return false;
}

bool Decides(const std::wstring& result, int build) { return !result.empty() && build > 0; }

// Leading white space, an optional sign, then decimal digits; 0 without any.
int ParseDecimal(const wchar_t* text) {
  while (std::iswspace(*text)) ++text;
  return static_cast<int>(std::wcstol(text, nullptr, 10));
}

// Reads one registry value as text; "" when the query fails.
bool QueryText(HKEY key, const wchar_t* name, std::wstring& text) {
  wchar_t buffer[260] = {};
  DWORD bytes = sizeof(buffer);
  if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) !=
      ERROR_SUCCESS) {
    return false;
  }
  buffer[259] = L'\0';  // a value that fills the buffer has no terminator
  text = buffer;
  return true;
}

}  // namespace

std::wstring GetPlatformVersion() {
  std::wstring folder;
  PlatformDataDirectory(folder);

  // The folder ends in "\" and the names start with one; Windows reads the
  // doubled separator as one.
  std::string bytes;
  const std::wstring ini =
      ReadPlatformFile(folder + L"\\brimlake.ini", bytes) ? DecodeIniText(bytes) : std::wstring();
  const std::wstring version = IniString(ini, L"General", L"version");
  int build = IniInt(ini, L"General", L"ver", 0);
  std::wstring result = FormatWide(L"%s.%d", version.c_str(), build);
  if (Decides(result, build)) return result;

  pugi::xml_document document;
  if (ReadPlatformFile(folder + L"\\brimlake.xml", bytes) &&
      document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_utf8)) {
    const pugi::xml_node items = document.child("root").child("items");
    if (items) {
      const std::wstring text = AnsiToWide(items.attribute("version").as_string(""));
      build = items.attribute("ver").as_int(0);
      result = FormatWide(L"%s.%d", text.c_str(), build);
    }
  }
  if (Decides(result, build)) return result;

  UniqueKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlatformUninstallKey, 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS) {
    return result;
  }
  std::wstring display_version;
  (void)QueryText(key.get(), L"DisplayVersion", display_version);
  std::wstring build_text;
  if (QueryText(key.get(), L"Version", build_text)) build = ParseDecimal(build_text.c_str());
  return FormatWide(L"%s.%d", display_version.c_str(), build);
}

std::wstring WindowsReleaseName(DWORD platform_id, DWORD major, DWORD minor, BYTE product_type) {
  if (platform_id != VER_PLATFORM_WIN32_NT) return L"";
  const bool server = product_type == VER_NT_SERVER;
  if (major == 5) {
    if (minor == 0) return server ? L"2000Server" : L"2000";
    if (minor == 1) return L"XP";
    if (minor == 2) return L"2003";
  } else if (major == 6) {
    if (minor == 0) return server ? L"2008" : L"Vista";
    if (minor == 1) return L"Win7";
    // Without a list of supported systems in the manifest, Windows 8 and
    // every later release report 6.2.
    return L"Win10";
  }
  return L"";
}

std::wstring GetWindowsRelease() {
  OSVERSIONINFOEXW extended = {};
  extended.dwOSVersionInfoSize = sizeof(extended);
  BYTE product_type = 0;
  DWORD platform_id = 0, major = 0, minor = 0;
// The deprecated call is the point: it reports what the manifest lets the
// program see, which the release table is written for.
UNINSTALL_ALLOW_DEPRECATED_BEGIN
  if (::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) {
    platform_id = extended.dwPlatformId;
    major = extended.dwMajorVersion;
    minor = extended.dwMinorVersion;
    product_type = extended.wProductType;
  } else {
    OSVERSIONINFOW basic = {};
    basic.dwOSVersionInfoSize = sizeof(basic);
    if (!::GetVersionExW(&basic)) return L"";
    platform_id = basic.dwPlatformId;
    major = basic.dwMajorVersion;
    minor = basic.dwMinorVersion;
  }
UNINSTALL_ALLOW_DEPRECATED_END

  // Test build only: the version numbers of another release.
  const long seam_major = TestSeamNumber(L"UNINSTALL_SEAM_OS_MAJOR", -1);
  if (seam_major >= 0) {
    platform_id = VER_PLATFORM_WIN32_NT;
    major = static_cast<DWORD>(seam_major);
    minor = static_cast<DWORD>(TestSeamNumber(L"UNINSTALL_SEAM_OS_MINOR", 0));
    product_type = static_cast<BYTE>(TestSeamNumber(L"UNINSTALL_SEAM_OS_PRODUCT_TYPE", 0));
  }
  return WindowsReleaseName(platform_id, major, minor, product_type);
}

std::wstring SystemBitnessOf(WORD processor_architecture) {
  return processor_architecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                 processor_architecture == PROCESSOR_ARCHITECTURE_IA64
             ? L"64"
             : L"32";
}

std::wstring GetSystemBitness() {
  SYSTEM_INFO info = {};
  ::GetNativeSystemInfo(&info);
  return SystemBitnessOf(info.wProcessorArchitecture);
}

std::wstring GetSystemName() {
  const std::wstring bitness = GetSystemBitness();
  return GetWindowsRelease() + L"_" + bitness;
}
