#include "cleanup/registration.h"

#include "cleanup/removal_safety.h"
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

enum class EntryKind { kUninstall, kAppPaths };

std::wstring QueryText(HKEY key, const wchar_t* name) {
  wchar_t buffer[1024] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return {};
  return buffer;
}

// The path a value names: the quoted part when it starts with a quote,
// otherwise the text without an icon index (",0").
std::wstring PathInValue(const std::wstring& text) {
  const size_t start = text.find_first_not_of(L' ');
  if (start == std::wstring::npos) return {};
  if (text[start] == L'"') {
    const size_t end = text.find(L'"', start + 1);
    return end == std::wstring::npos ? std::wstring() : text.substr(start + 1, end - start - 1);
  }
  const size_t comma = text.find_last_of(L',');
  return text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
}

// Whether the value `text` names `installation` itself or, for a file,
// something inside it; both resolved, case and trailing separators ignored.
bool Names(const std::wstring& text, const std::wstring& installation, bool folder_itself) {
  const std::wstring path = AbsolutePath(PathInValue(text));
  if (path.empty() || installation.empty()) return false;
  return folder_itself ? IsSameOrInside(path, installation) && IsSameOrInside(installation, path)
                       : IsSameOrInside(path, installation) && !IsSameOrInside(installation, path);
}

// Whether the open entry `key` is this game's.
bool IsGamesEntry(HKEY key, EntryKind kind) {
  const std::wstring installation = AbsolutePath(GameProfile.install_dir);
  if (kind == EntryKind::kAppPaths) return Names(QueryText(key, nullptr), installation, false);
  return Names(QueryText(key, L"InstallLocation"), installation, true) ||
         Names(QueryText(key, L"UninstallString"), installation, false) ||
         Names(QueryText(key, L"DisplayIcon"), installation, false);
}

// Deletes the key itself through the handle it was judged by.
void DeleteOpenKey(HKEY key) {
  using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
  static const auto nt_delete_key = reinterpret_cast<NtDeleteKeyFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  if (nt_delete_key != nullptr) (void)nt_delete_key(key);  // refused while it has subkeys
}

void DeleteGamesEntry(HKEY hive, const std::wstring& path, EntryKind kind) {
  UniqueKey key;
  if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_QUERY_VALUE | DELETE, key.put()) !=
      ERROR_SUCCESS) {
    key.release();  // nothing was opened; the slot may hold junk
    return;
  }
  if (IsGamesEntry(key.get(), kind)) DeleteOpenKey(key.get());
}

// Creates the entry, or opens it when it is this game's; an invalid key when
// it cannot be created or is another program's.
UniqueKey OpenEntryToWrite(HKEY hive, const std::wstring& path, EntryKind kind) {
  UniqueKey key;
  DWORD disposition = 0;
  if (::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
    key.release();
    return key;
  }
  if (disposition == REG_OPENED_EXISTING_KEY && !IsGamesEntry(key.get(), kind)) key.reset();
  return key;
}

void WriteAppPathsEntry(HKEY hive, const wchar_t* prefix, const std::wstring& executable) {
  UniqueKey key = OpenEntryToWrite(hive, prefix + GameProfile.exe_name, EntryKind::kAppPaths);
  if (key) (void)WriteStringValue(key.get(), nullptr, executable);
}

// Writes the Uninstall entry's nine values in their order.
bool WriteUninstallEntry(HKEY hive, const wchar_t* prefix) {
  UniqueKey key = OpenEntryToWrite(hive, prefix + GameProfile.install_name, EntryKind::kUninstall);
  if (!key) return false;
  const GameProfileRecord& p = GameProfile;
  const std::wstring uninstaller = L"\"" + p.install_dir + UninstallerFileName() + L"\"";
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
  // A name that is not plain could name the parent key of every program's
  // entries, or a key elsewhere; it names nothing.
  const std::wstring& install_name = GameProfile.install_name;
  const std::wstring& exe_name = GameProfile.exe_name;
  if (IsPlainKeyName(install_name)) {
    DeleteGamesEntry(HKEY_LOCAL_MACHINE, kMachineUninstallDelete + install_name,
                     EntryKind::kUninstall);
    DeleteGamesEntry(HKEY_CURRENT_USER, kUserUninstallDelete + install_name, EntryKind::kUninstall);
  }
  if (IsPlainKeyName(exe_name)) {
    DeleteGamesEntry(HKEY_LOCAL_MACHINE, kMachineAppPathsDelete + exe_name, EntryKind::kAppPaths);
    DeleteGamesEntry(HKEY_CURRENT_USER, kUserAppPaths + exe_name, EntryKind::kAppPaths);
  }
}

bool RestoreRegistrationKeys() {
  const bool has_app_paths = IsPlainKeyName(GameProfile.exe_name);
  const bool has_uninstall = IsPlainKeyName(GameProfile.install_name);
  const std::wstring executable = GameProfile.install_dir + GameProfile.exe_name;

  if (has_app_paths) WriteAppPathsEntry(HKEY_LOCAL_MACHINE, kMachineAppPaths, executable);
  if (!has_uninstall) return false;
  if (WriteUninstallEntry(HKEY_LOCAL_MACHINE, kMachineUninstall)) return true;

  // No machine-wide Uninstall entry of ours: register for the current user.
  if (has_app_paths) WriteAppPathsEntry(HKEY_CURRENT_USER, kUserAppPaths, executable);
  return WriteUninstallEntry(HKEY_CURRENT_USER, kUserUninstall);
}

std::wstring UninstallerFileName() {
  const std::wstring& name = GameProfile.uninstall_name;
  return IsPlainName(name) ? name : L"uninstall.exe";
}

bool WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text) {
  // Written whole, with its terminating NUL, however long it is.
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          bytes) == ERROR_SUCCESS;
}
