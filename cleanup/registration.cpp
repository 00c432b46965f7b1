#include "cleanup/registration.h"

#include "cleanup/files/removal_safety.h"
#include "common/registry_text.h"
#include "common/system_library.h"
#include "common/test_seams.h"
#include "common/text.h"
#include "profile/game_profile.h"

namespace {

constexpr wchar_t kMachineUninstall[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kUserUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kMachineAppPaths[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr wchar_t kUserAppPaths[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

enum class EntryType { kUninstall, kAppPaths };

struct EntryKey {
  bool machine;
  const wchar_t* prefix;
  EntryType kind;
};
// In their order of deletion: the Uninstall entries list the game, so they
// go last.
constexpr EntryKey kEntryKeys[] = {
    {true, kMachineAppPaths, EntryType::kAppPaths},
    {false, kUserAppPaths, EntryType::kAppPaths},
    {true, kMachineUninstall, EntryType::kUninstall},
    {false, kUserUninstall, EntryType::kUninstall},
};

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

// The number of subkeys of the open key; ~0 when it cannot be told, 0 for
// a key someone deleted meanwhile (`deleted` then true).
DWORD SubkeyCount(HKEY key, bool& deleted) {
  DWORD subkeys = 0;
  const LONG status = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr);
  deleted = status == ERROR_KEY_DELETED;
  return status == ERROR_SUCCESS || deleted ? subkeys : ~DWORD{0};
}

// Deletes the key itself through the handle it was judged by, only when
// that handle shows no subkeys. The system's refusal of a key with subkeys
// is the second guard, not the first. True when the key is gone, by this
// call or someone else's.
bool DeleteOpenKey(HKEY key) {
  using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
  static const auto nt_delete_key = GetLoadedFunction<NtDeleteKeyFn>(L"ntdll.dll", "NtDeleteKey");
  constexpr LONG kStatusKeyDeleted = static_cast<LONG>(0xC000017C);
  bool deleted = false;
  if (SubkeyCount(key, deleted) != 0) return false;
  if (deleted) return true;
  if (nt_delete_key == nullptr) return false;
  const LONG status = nt_delete_key(key);
  return status >= 0 || status == kStatusKeyDeleted;
}

// Test build only: the system refuses to delete the entry at `path`, as an
// access list can make it do (Wine keeps the access lists of keys but
// checks none).
bool DeletionRefusedForTests(const std::wstring& path) {
  const std::wstring refused = TestSeamText(L"UNINSTALL_TEST_DELETE_REFUSED");
  return !refused.empty() && SameName(refused, path);
}

std::wstring EntryName(bool machine, const std::wstring& path) {
  return (machine ? L"HKEY_LOCAL_MACHINE\\" : L"HKEY_CURRENT_USER\\") + path;
}

enum class Verdict { kNone, kDeletable, kUndeletable };

// Opens the entry `path` of `hive` to delete it and judges it: kNone when it
// is absent or another program's; kDeletable, open in `key`, when it is the
// game's and can go; kUndeletable when it is the game's, or cannot be told,
// and cannot go.
Verdict JudgeEntry(HKEY hive, const std::wstring& path, EntryType kind, UniqueKey& key) {
  const LONG status = ::RegOpenKeyExW(hive, path.c_str(), 0, KEY_QUERY_VALUE | DELETE, key.put());
  if (status != ERROR_SUCCESS) key.release();  // nothing was opened; the slot may hold junk
  if (status == ERROR_FILE_NOT_FOUND) return Verdict::kNone;
  if (status == ERROR_SUCCESS && !DeletionRefusedForTests(path)) {
    if (!IsGamesEntry(key.get(), kind)) return Verdict::kNone;
    bool deleted = false;
    return SubkeyCount(key.get(), deleted) == 0 ? Verdict::kDeletable : Verdict::kUndeletable;
  }
  key.reset();
  // Its deletion is refused, or it cannot be read: another program's entry
  // is no concern, one that cannot be told is.
  UniqueKey look;
  if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_QUERY_VALUE, look.put()) != ERROR_SUCCESS) {
    look.release();
    return Verdict::kUndeletable;
  }
  return IsGamesEntry(look.get(), kind) ? Verdict::kUndeletable : Verdict::kNone;
}

}  // namespace

GameEntries GameEntries::Open() {
  GameEntries entries;
  for (const EntryKey& entry : kEntryKeys) {
    const std::wstring& name =
        entry.kind == EntryType::kUninstall ? GameProfile.install_name : GameProfile.exe_name;
    if (!IsPlainKeyName(name)) continue;
    const std::wstring path = entry.prefix + name;
    UniqueKey key;
    const Verdict verdict =
        JudgeEntry(entry.machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path, entry.kind, key);
    if (verdict == Verdict::kDeletable) entries.keys_.push_back({std::move(key), EntryName(entry.machine, path)});
    if (verdict == Verdict::kUndeletable && entries.undeletable_.empty())
      entries.undeletable_ = EntryName(entry.machine, path);
  }
  return entries;
}

bool GameEntries::DeleteAll(std::wstring& left) {
  left.clear();
  if (!undeletable_.empty()) {
    left = undeletable_;
    return false;
  }
  for (Entry& entry : keys_) {
    if (!DeleteOpenKey(entry.key.get())) {
      left = entry.name;
      return false;
    }
    entry.key.reset();
  }
  keys_.clear();
  return true;
}
