#include "cleanup/platform_data.h"

#include <windows.h>
#include <shlobj.h>

#include "cleanup/path_operations.h"

namespace {

std::wstring QueryFolder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  (void)::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
  return buffer;
}

std::wstring ComposePlatformDataDirectory() {
  const std::wstring roaming = QueryFolder(CSIDL_APPDATA);
  const std::wstring common = QueryFolder(CSIDL_COMMON_APPDATA);
  const std::wstring local = QueryFolder(CSIDL_LOCAL_APPDATA);
  // The all-users folder is preferred to the roaming one: the platform
  // writes there when it is installed for everyone.
  std::wstring path = !local.empty() ? local : !common.empty() ? common : roaming;
  path += L"\\Brimlake\\app\\";
  if (!DirectoryExists(path)) (void)CreateDirectoryChain(path);
  return path;
}

}  // namespace

void PlatformDataDirectory(std::wstring& out) {
  static const std::wstring kept = ComposePlatformDataDirectory();
  out = kept;
}
