// The whole program as a process: whatever it is given, it shows no window
// and ends with exit code 0. Every run below takes the relocation stage; its
// copies go to the test's own temporary folder and are ended afterwards.

#include <gtest/gtest.h>

#include "common/text.h"
#include "common/unique_resource.h"
#include "tests/support/program_runs.h"
#include "tests/support/test_support.h"

namespace {

using oldtest::RunWatched;
using oldtest::WatchedRun;

}  // namespace

TEST(ProgramRun, EndsWithZeroAndNoWindowForAnyCommandLine) {
  const std::wstring exe = oldtest::ProgramFolder() + L"uninstall.exe";
  const std::wstring command_lines[] = {
      L"/verbose --path=x -x",
      L"/action=Uninstall",
      L"\"/path=" + std::wstring(5000, L'p') + L"\"",
  };
  const std::wstring folder = oldtest::FreshTestFolder();
  for (const std::wstring& arguments : command_lines) {
    SCOPED_TRACE(WideToUtf8(arguments.substr(0, 60)));
    oldtest::LaunchRecord record(folder + L"launches.txt", folder);
    const WatchedRun watched = RunWatched(exe, arguments);
    ASSERT_TRUE(watched.run.finished);
    EXPECT_EQ(watched.run.exit_code, 0u);
    EXPECT_EQ(watched.windows_seen, 0u);
    EXPECT_EQ(record.WaitFor(2, 20000).size(), 2u) << "no relaunched copy";
  }
}

TEST(ProgramRun, CarriesItsResources) {
  UniqueLibrary module(::LoadLibraryExW((oldtest::ProgramFolder() + L"uninstall.exe").c_str(),
                                        nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(module.valid());
  wchar_t text[100] = {};
  ASSERT_GT(::LoadStringW(module.get(), 1055, text, 100), 0);
  EXPECT_STREQ(text, L"app");
  ASSERT_GT(::LoadStringW(module.get(), 1056, text, 100), 0);
  EXPECT_STREQ(text, L"brimhelper");
  // String block 66 holds 1040..1055, block 67 holds 1056..1071; Chinese (PRC).
  EXPECT_NE(::FindResourceExW(module.get(), RT_STRING, MAKEINTRESOURCEW(66), 2052), nullptr);
  EXPECT_NE(::FindResourceExW(module.get(), RT_STRING, MAKEINTRESOURCEW(67), 2052), nullptr);
  EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(128), RT_GROUP_ICON), nullptr);
  EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(100), RT_DIALOG), nullptr);

  HRSRC manifest = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(manifest, nullptr);
  const char* data = static_cast<const char*>(
      ::LockResource(::LoadResource(module.get(), manifest)));
  const std::string xml(data, ::SizeofResource(module.get(), manifest));
  EXPECT_NE(xml.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_EQ(xml.find("<compatibility"), std::string::npos);

  HRSRC version = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_VERSION);
  ASSERT_NE(version, nullptr);
  const wchar_t* block = static_cast<const wchar_t*>(
      ::LockResource(::LoadResource(module.get(), version)));
  const std::wstring info(block, ::SizeofResource(module.get(), version) / sizeof(wchar_t));
  const size_t key = info.find(L"OriginalFilename");
  ASSERT_NE(key, std::wstring::npos);
  EXPECT_EQ(info.find(L"uninstall.exe", key), key + 17);
  EXPECT_NE(info.find(L"ProductVersion"), std::wstring::npos);
}

TEST(ProgramRun, RunsTheSameWithoutItsStrings) {
  const std::wstring folder = oldtest::FreshTestFolder();
  const std::wstring copy = folder + L"uninstall.exe";
  ASSERT_TRUE(::CopyFileW((oldtest::ProgramFolder() + L"uninstall.exe").c_str(), copy.c_str(), FALSE));
  HANDLE update = ::BeginUpdateResourceW(copy.c_str(), FALSE);
  ASSERT_NE(update, nullptr);
  // Both blocks become sixteen empty strings, so the two strings cannot load.
  WORD empty_block[16] = {};
  ASSERT_TRUE(::UpdateResourceW(update, RT_STRING, MAKEINTRESOURCEW(66), 2052, empty_block,
                                sizeof(empty_block)));
  ASSERT_TRUE(::UpdateResourceW(update, RT_STRING, MAKEINTRESOURCEW(67), 2052, empty_block,
                                sizeof(empty_block)));
  ASSERT_TRUE(::EndUpdateResourceW(update, FALSE));
  {
    UniqueLibrary module(::LoadLibraryExW(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    wchar_t text[100] = {};
    ASSERT_EQ(::LoadStringW(module.get(), 1055, text, 100), 0);
    ASSERT_EQ(::LoadStringW(module.get(), 1056, text, 100), 0);
  }
  oldtest::LaunchRecord record(folder + L"launches.txt", folder);
  const WatchedRun watched = RunWatched(copy, L"/action=Uninstall");
  ASSERT_TRUE(watched.run.finished);
  EXPECT_EQ(watched.run.exit_code, 0u);
  EXPECT_EQ(watched.windows_seen, 0u);
  EXPECT_EQ(record.WaitFor(2, 20000).size(), 2u) << "no relaunched copy";
}
