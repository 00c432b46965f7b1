#include "cleanup/files/shell_folders.h"

#include <windows.h>
#include <shlobj.h>

std::wstring ShellFolderPath(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  (void)::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
  return buffer;
}

std::wstring ComposePlatformDataPath() {
  const std::wstring roaming = ShellFolderPath(CSIDL_APPDATA);
  const std::wstring common = ShellFolderPath(CSIDL_COMMON_APPDATA);
  const std::wstring local = ShellFolderPath(CSIDL_LOCAL_APPDATA);
  // The all-users folder comes before the roaming one.
  const std::wstring& chosen = !local.empty() ? local : !common.empty() ? common : roaming;
  return chosen + L"\\Brimlake\\app\\";
}
