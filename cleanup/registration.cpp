#include "cleanup/registration.h"

#include <vector>

#include "cleanup/files/removal_safety.h"
#include "common/registry_text.h"
#include "common/system_library.h"
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

enum class EntryType { kUninstall, kAppPaths };

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

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return IsSameOrInside(a, b) && IsSameOrInside(b, a);
}

// Whether the value `text` names `installation` itself or, for a file, a
// file directly in it; both resolved, case and trailing separators ignored.
// A program in a subfolder may be another program's.
bool Names(const std::wstring& text, const std::wstring& installation, bool folder_itself) {
  const std::wstring path = AbsolutePath(PathInValue(text));
  if (path.empty() || installation.empty()) return false;
  if (folder_itself) return SamePath(path, installation);
  const size_t slash = path.find_last_of(L'\\');
  return slash != std::wstring::npos && slash + 1 < path.size() &&
         SamePath(path.substr(0, slash), installation);
}

// Whether the open entry `key` is this game's.
bool IsGamesEntry(HKEY key, EntryType kind) {
  const std::wstring installation = AbsolutePath(GameProfile.install_dir);
  if (kind == EntryType::kAppPaths) return Names(RegistryText(key, nullptr), installation, false);
  return Names(RegistryText(key, L"InstallLocation"), installation, true) ||
         Names(RegistryText(key, L"UninstallString"), installation, false) ||
         Names(RegistryText(key, L"DisplayIcon"), installation, false);
}

// Deletes the key itself through the handle it was judged by, only when
// that handle shows no subkeys. The system's refusal of a key with subkeys
// is the second guard, not the first: a 32-bit process under WoW64 Wine is
// not refused, and the subkeys would go with it.
void DeleteOpenKey(HKEY key) {
  using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
  static const auto nt_delete_key = GetLoadedFunction<NtDeleteKeyFn>(L"ntdll.dll", "NtDeleteKey");
  DWORD subkeys = 0;
  if (nt_delete_key == nullptr ||
      ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0)
    return;
  (void)nt_delete_key(key);
}

// Opens the entry to record and delete it; invalid when it is absent or
// not this game's.
UniqueKey OpenGamesEntry(HKEY hive, const std::wstring& path, EntryType kind) {
  UniqueKey key;
  if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_QUERY_VALUE | DELETE, key.put()) !=
      ERROR_SUCCESS) {
    key.release();  // nothing was opened; the slot may hold junk
    return key;
  }
  if (!IsGamesEntry(key.get(), kind)) key.reset();
  return key;
}

// Every value of the open key, whole; false when one cannot be read.
bool RecordValues(HKEY key, std::vector<RecordedValue>& values) {
  DWORD count = 0, longest_name = 0, largest_data = 0;
  if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &longest_name, &largest_data, nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  std::vector<wchar_t> name(longest_name + 1);
  for (DWORD index = 0; index < count; ++index) {
    RecordedValue value;
    value.data.resize(largest_data);
    DWORD name_length = static_cast<DWORD>(name.size()), size = largest_data;
    if (::RegEnumValueW(key, index, name.data(), &name_length, nullptr, &value.type,
                        reinterpret_cast<BYTE*>(&value.data[0]), &size) != ERROR_SUCCESS)
      return false;
    value.name.assign(name.data(), name_length);
    value.data.resize(size);
    values.push_back(std::move(value));
  }
  return true;
}

struct EntryKey {
  bool machine;
  const wchar_t* prefix;
  EntryType kind;
};
// The four entries in their order of deletion.
constexpr EntryKey kEntryKeys[] = {
    {true, kMachineUninstallDelete, EntryType::kUninstall},
    {false, kUserUninstallDelete, EntryType::kUninstall},
    {true, kMachineAppPathsDelete, EntryType::kAppPaths},
    {false, kUserAppPaths, EntryType::kAppPaths},
};

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  const size_t length = wcslen(prefix);
  return text.size() > length && ::CompareStringOrdinal(text.c_str(), static_cast<int>(length), prefix,
                                                        static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Creates the entry when it is missing; `present` tells whether the game
// has it afterwards (created now, or there already as the game's). An
// invalid key unless it was created now: an existing entry is left as it is.
UniqueKey OpenEntryToWrite(HKEY hive, const std::wstring& path, EntryType kind, bool& present) {
  UniqueKey key;
  DWORD disposition = 0;
  present = false;
  if (::RegCreateKeyExW(hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
    key.release();
    return key;
  }
  if (disposition == REG_OPENED_EXISTING_KEY) {
    present = IsGamesEntry(key.get(), kind);
    key.reset();
    return key;
  }
  present = true;
  return key;
}

void WriteAppPathsEntry(HKEY hive, const wchar_t* prefix, const std::wstring& executable) {
  bool present = false;
  UniqueKey key = OpenEntryToWrite(hive, prefix + GameProfile.exe_name, EntryType::kAppPaths, present);
  if (key) (void)WriteStringValue(key.get(), nullptr, executable);
}

// Writes the Uninstall entry's nine values in their order when it is
// missing. True when the game's entry is there afterwards.
bool WriteUninstallEntry(HKEY hive, const wchar_t* prefix) {
  bool present = false;
  UniqueKey key =
      OpenEntryToWrite(hive, prefix + GameProfile.install_name, EntryType::kUninstall, present);
  if (!key) return present;
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

RegistrationSnapshot::RegistrationSnapshot() {
  // A name that is not plain could name the parent key of every program's
  // entries, or a key elsewhere; it names nothing.
  for (const EntryKey& entry : kEntryKeys) {
    const std::wstring& name =
        entry.kind == EntryType::kUninstall ? GameProfile.install_name : GameProfile.exe_name;
    if (!IsPlainKeyName(name)) continue;
    const std::wstring path = entry.prefix + name;
    UniqueKey key = OpenGamesEntry(entry.machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path, entry.kind);
    if (!key) continue;
    RecordedEntry recorded{entry.machine, path, {}};
    complete_ = RecordValues(key.get(), recorded.values) && complete_;
    entries_.push_back(std::move(recorded));
    keys_.push_back(std::move(key));
  }
}

void RegistrationSnapshot::DeleteAll() {
  for (UniqueKey& key : keys_) {
    DeleteOpenKey(key.get());
    key.reset();
  }
}

void DeleteRegistrationKeys() { RegistrationSnapshot().DeleteAll(); }

bool IsGameEntryKey(const RecordedEntry& entry) {
  for (const EntryKey& key : kEntryKeys) {
    if (key.machine == entry.machine && StartsWithNoCase(entry.path, key.prefix) &&
        IsPlainKeyName(entry.path.substr(wcslen(key.prefix))))
      return true;
  }
  return false;
}

bool RestoreRecordedEntries(const std::vector<RecordedEntry>& entries) {
  bool listed = false;
  for (const RecordedEntry& entry : entries) {
    if (!IsGameEntryKey(entry)) continue;
    UniqueKey key;
    DWORD disposition = 0;
    if (::RegCreateKeyExW(entry.machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                          entry.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                          nullptr, key.put(), &disposition) != ERROR_SUCCESS) {
      key.release();
      continue;
    }
    // One that is there again (or was never deleted) is left as it is.
    if (disposition == REG_CREATED_NEW_KEY) {
      for (const RecordedValue& value : entry.values)
        (void)::RegSetValueExW(key.get(), value.name.c_str(), 0, value.type,
                               reinterpret_cast<const BYTE*>(value.data.data()),
                               static_cast<DWORD>(value.data.size()));
    }
    listed = listed || entry.path.find(L"\\Uninstall\\") != std::wstring::npos;
  }
  return listed;
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
