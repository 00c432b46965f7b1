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

}  // namespace

std::wstring ComposePlatformDataPath() {
  const std::wstring roaming = QueryFolder(CSIDL_APPDATA);
  const std::wstring common = QueryFolder(CSIDL_COMMON_APPDATA);
  const std::wstring local = QueryFolder(CSIDL_LOCAL_APPDATA);
  // The all-users folder comes before the roaming one.
  const std::wstring& chosen = !local.empty() ? local : !common.empty() ? common : roaming;
  return chosen + L"\\Brimlake\\app\\";
}

void PlatformDataDirectory(std::wstring& out) {
  static const std::wstring kept = [] {
    std::wstring path = ComposePlatformDataPath();
    if (!DirectoryExists(path)) (void)CreateDirectoryChain(path);
    return path;
  }();
  out = kept;
}
