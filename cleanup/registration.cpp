#include "cleanup/registration.h"

#include "common/unique_resource.h"
#include "profile/game_profile.h"

namespace {

// The deletion spells "SOFTWARE" where the rewrite spells "Software"; key
// names are case-insensitive, so both name the same keys.
constexpr wchar_t kMachineUninstallDelete[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kUserUninstallDelete[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kMachineAppPathsDelete[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

// The rewrite's paths; the user App Paths path serves the deletion too.
constexpr wchar_t kMachineUninstall[] =
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kMachineAppPaths[] =
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr wchar_t kUserUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kUserAppPaths[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

void DeleteSingleKey(HKEY hive, const std::wstring& path) {
  (void)::RegDeleteKeyExW(hive, path.c_str(), /*samDesired=*/0, /*Reserved=*/0);
}

// Creates or opens `path` for reading and writing; an invalid key on failure.
UniqueKey CreateEntryKey(HKEY hive, const std::wstring& path) {
  UniqueKey key;
  DWORD disposition = 0;
  if (::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
    key.release();  // nothing was opened; the slot may hold junk
  }
  return key;
}

void WriteAppPathsEntry(HKEY hive, const wchar_t* prefix, const std::wstring& executable) {
  UniqueKey key = CreateEntryKey(hive, prefix + GameProfile.exe_name);
  if (key) (void)WriteStringValue(key.get(), nullptr, executable);
}

// Creates the Uninstall entry and writes its nine values in their order.
bool WriteUninstallEntry(HKEY hive, const wchar_t* prefix) {
  UniqueKey key = CreateEntryKey(hive, prefix + GameProfile.install_name);
  if (!key) return false;
  const GameProfileRecord& p = GameProfile;
  const std::wstring uninstaller = L"\"" + p.install_dir + p.uninstall_name + L"\"";
  const std::pair<const wchar_t*, std::wstring> values[] = {
      {L"DisplayIcon", uninstaller},
      {L"DisplayName", p.install_name},
      {L"DisplayVersion", p.version + L"." + p.ver},
      {L"Version", p.ver},
      {L"HelpLink", p.help_link},
      {L"Publisher", p.publisher},
      {L"InstallLocation", p.install_dir},
      {L"UninstallString", uninstaller},
      {L"URLInfoAbout", p.info_about},
  };
  for (const auto& value : values) (void)WriteStringValue(key.get(), value.first, value.second);
  return true;
}

}  // namespace

void DeleteRegistrationKeys() {
  // An empty name would make the path the parent key of every program's
  // entries; never name it.
  const std::wstring& install_name = GameProfile.install_name;
  const std::wstring& exe_name = GameProfile.exe_name;
  if (!install_name.empty()) {
    DeleteSingleKey(HKEY_LOCAL_MACHINE, kMachineUninstallDelete + install_name);
    DeleteSingleKey(HKEY_CURRENT_USER, kUserUninstallDelete + install_name);
  }
  if (!exe_name.empty()) {
    DeleteSingleKey(HKEY_LOCAL_MACHINE, kMachineAppPathsDelete + exe_name);
    DeleteSingleKey(HKEY_CURRENT_USER, kUserAppPaths + exe_name);
  }
}

bool RestoreRegistrationKeys() {
  const bool has_app_paths = !GameProfile.exe_name.empty();
  const bool has_uninstall = !GameProfile.install_name.empty();
  const std::wstring executable = GameProfile.install_dir + GameProfile.exe_name;

  if (has_app_paths) WriteAppPathsEntry(HKEY_LOCAL_MACHINE, kMachineAppPaths, executable);
  if (!has_uninstall) return false;
  if (WriteUninstallEntry(HKEY_LOCAL_MACHINE, kMachineUninstall)) return true;

  // No machine-wide Uninstall entry: register for the current user instead.
  if (has_app_paths) WriteAppPathsEntry(HKEY_CURRENT_USER, kUserAppPaths, executable);
  return WriteUninstallEntry(HKEY_CURRENT_USER, kUserUninstall);
}

bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text) {
  // Written whole, with its terminating NUL, however long it is.
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          bytes) == ERROR_SUCCESS;
}
