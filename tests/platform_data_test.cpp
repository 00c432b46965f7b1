// The platform data folder: below the local application data folder,
// created on the first call, and fixed for the rest of the process.

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include "cleanup/platform_data.h"
#include "common/text.h"
#include "tests/support/test_support.h"

TEST(PlatformDataDirectory, IsCreatedOnceBelowLocalAppDataAndThenKept) {
  wchar_t local[MAX_PATH] = {};
  ASSERT_EQ(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local),
            S_OK);
  const std::wstring expected = std::wstring(local) + L"\\Brimlake\\app\\";
  oldtest::RemoveTestTree(std::wstring(local) + L"\\Brimlake\\");
  ASSERT_FALSE(oldtest::PathExists(expected));

  std::wstring first = L"overwritten";
  PlatformDataDirectory(first);
  EXPECT_EQ(WideToUtf8(first), WideToUtf8(expected));
  EXPECT_TRUE(oldtest::PathExists(expected));

  // Later calls neither look again nor create it again.
  oldtest::RemoveTestTree(expected);
  std::wstring second;
  PlatformDataDirectory(second);
  EXPECT_EQ(second, first);
  EXPECT_FALSE(oldtest::PathExists(expected));
}
