// The platform version from its three sources in the real platform data
// folder and registry of the test prefix, and the system name.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "cleanup/platform_data.h"
#include "common/text.h"
#include "common/unique_resource.h"
#include "telemetry/version_info.h"
#include "tests/support/test_support.h"

namespace {

constexpr wchar_t kPlatformKey[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\brimlake";

struct Sources {
  const char* ini;  // nullptr: no file
  const char* xml;
  const wchar_t* display_version;  // nullptr: no value (both null: no key)
  const wchar_t* version;
};

void SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
  if (value == nullptr) return;
  ASSERT_EQ(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

void RemoveSources(const std::wstring& folder) {
  ::DeleteFileW((folder + L"brimlake.ini").c_str());
  ::DeleteFileW((folder + L"brimlake.xml").c_str());
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPlatformKey);
}

void PlaceSources(const std::wstring& folder, const Sources& sources) {
  RemoveSources(folder);
  if (sources.ini) oldtest::WriteFileBytes(folder + L"brimlake.ini", sources.ini);
  if (sources.xml) oldtest::WriteFileBytes(folder + L"brimlake.xml", sources.xml);
  if (sources.display_version || sources.version) {
    UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPlatformKey, 0, nullptr, 0, KEY_WRITE,
                                nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    SetString(key.get(), L"DisplayVersion", sources.display_version);
    SetString(key.get(), L"Version", sources.version);
  }
}

}  // namespace

TEST(PlatformVersion, FirstSourceWithABuildNumberDecides) {
  std::wstring folder;
  PlatformDataDirectory(folder);
  const char* kIniDecides = "[General]\r\nversion=3.1.2\r\nver=7\r\n";
  const char* kXmlHex = "<?xml version=\"1.0\"?><root><items version=\"3.1.2\" ver=\"0x10\"/></root>";
  const struct {
    const char* name;
    Sources sources;
    const wchar_t* expected;
  } cases[] = {
      {"INI decides; XML and registry not needed",
       {kIniDecides, "<root><items version=\"9\" ver=\"9\"/></root>", L"8.8", L"8"}, L"3.1.2.7"},
      {"INI build number alone decides", {"[General]\r\nver=7\r\n", nullptr, L"8.8", L"8"}, L".7"},
      {"INI build 0, XML with hexadecimal build",
       {"[General]\r\nversion=3.1.2\r\nver=0\r\n", kXmlHex, L"8.8", L"8"}, L"3.1.2.16"},
      {"XML with a byte-order mark",
       {nullptr, "\xEF\xBB\xBF<root><items version=\"4.2\" ver=\" 12\"/></root>", nullptr, nullptr},
       L"4.2.12"},
      {"nothing anywhere", {nullptr, nullptr, nullptr, nullptr}, L".0"},
      {"registry without a Version value", {nullptr, nullptr, L"3.1.2", nullptr}, L"3.1.2.0"},
      {"registry decides after undecided files",
       {"[General]\r\nversion=1.0\r\n", "<root><items version=\"2.0\"/></root>", L"5.1", L" 42x"},
       L"5.1.42"},
      {"XML without items keeps the INI result",
       {"[General]\r\nversion=2.0\r\n", "<root><other ver=\"5\"/></root>", nullptr, nullptr},
       L"2.0.0"},
      {"XML without ver, no registry", {nullptr, "<root><items version=\"5.5\"/></root>", nullptr,
                                        nullptr},
       L"5.5.0"},
      {"XML that does not load keeps the INI result",
       {"[General]\r\nversion=2.1\r\nver=-3\r\n", "<root><items", nullptr, nullptr}, L"2.1.-3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlaceSources(folder, c.sources);
    EXPECT_EQ(WideToUtf8(GetPlatformVersion()), WideToUtf8(c.expected));
  }
  RemoveSources(folder);
}

TEST(SystemName, ReleaseTableAndBitness) {
  const struct {
    DWORD platform, major, minor;
    BYTE product_type;
    const wchar_t* name;
  } releases[] = {
      {VER_PLATFORM_WIN32_NT, 5, 0, VER_NT_SERVER, L"2000Server"},
      {VER_PLATFORM_WIN32_NT, 5, 0, VER_NT_WORKSTATION, L"2000"},
      {VER_PLATFORM_WIN32_NT, 5, 1, VER_NT_SERVER, L"XP"},
      {VER_PLATFORM_WIN32_NT, 5, 2, VER_NT_WORKSTATION, L"2003"},
      {VER_PLATFORM_WIN32_NT, 6, 0, VER_NT_SERVER, L"2008"},
      {VER_PLATFORM_WIN32_NT, 6, 0, VER_NT_DOMAIN_CONTROLLER, L"Vista"},
      {VER_PLATFORM_WIN32_NT, 6, 0, 0, L"Vista"},
      {VER_PLATFORM_WIN32_NT, 6, 1, VER_NT_SERVER, L"Win7"},
      {VER_PLATFORM_WIN32_NT, 6, 2, VER_NT_WORKSTATION, L"Win10"},
      {VER_PLATFORM_WIN32_NT, 6, 3, VER_NT_WORKSTATION, L"Win10"},
      {VER_PLATFORM_WIN32_NT, 5, 3, VER_NT_WORKSTATION, L""},
      {VER_PLATFORM_WIN32_NT, 7, 0, VER_NT_WORKSTATION, L""},
      {VER_PLATFORM_WIN32_NT, 10, 0, VER_NT_WORKSTATION, L""},
      {VER_PLATFORM_WIN32_WINDOWS, 6, 1, 0, L""},
  };
  for (const auto& r : releases) {
    EXPECT_EQ(WindowsReleaseName(r.platform, r.major, r.minor, r.product_type), r.name)
        << r.major << "." << r.minor << " type " << int(r.product_type);
  }
  EXPECT_EQ(SystemBitnessOf(PROCESSOR_ARCHITECTURE_AMD64), L"64");
  EXPECT_EQ(SystemBitnessOf(PROCESSOR_ARCHITECTURE_IA64), L"64");
  EXPECT_EQ(SystemBitnessOf(PROCESSOR_ARCHITECTURE_INTEL), L"32");
  EXPECT_EQ(SystemBitnessOf(PROCESSOR_ARCHITECTURE_ARM64), L"32");
}

TEST(SystemName, IsReleaseUnderscoreBitness) {
  // Whatever Wine reports is shown, not pinned.
  std::printf("this system: %s\n", WideToUtf8(GetSystemName()).c_str());
  EXPECT_EQ(GetSystemBitness(), L"64");  // the 64-bit test build runs on a 64-bit system

  const struct {
    const wchar_t *major, *minor, *product_type, *name;
  } seams[] = {
      {L"6", L"0", L"3", L"2008_64"},
      {L"6", L"1", L"1", L"Win7_64"},
      {L"6", L"2", L"1", L"Win10_64"},
      {L"7", L"0", L"1", L"_64"},
  };
  for (const auto& s : seams) {
    ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_OS_MAJOR", s.major);
    ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_OS_MINOR", s.minor);
    ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_OS_PRODUCT_TYPE", s.product_type);
    EXPECT_EQ(GetSystemName(), s.name);
  }
  ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_OS_MAJOR", nullptr);
  ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_OS_MINOR", nullptr);
  ::SetEnvironmentVariableW(L"UNINSTALL_SEAM_OS_PRODUCT_TYPE", nullptr);
}
