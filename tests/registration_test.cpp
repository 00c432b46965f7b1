#include "cleanup/registration.h"

#include <gtest/gtest.h>

#include <map>

#include "common/text.h"
#include "common/unique_resource.h"
#include "profile/game_profile.h"

namespace {

const wchar_t kMachineUninstall[] =
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kMachineAppPaths[] =
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
const wchar_t kUserUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kUserAppPaths[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

const wchar_t kGame[] = L"Brim Test Game";
const wchar_t kExe[] = L"brimtest.exe";

struct Entry {
  HKEY hive;
  std::wstring path;
};

Entry MachineUninstall() { return {HKEY_LOCAL_MACHINE, kMachineUninstall + std::wstring(kGame)}; }
Entry UserUninstall() { return {HKEY_CURRENT_USER, kUserUninstall + std::wstring(kGame)}; }
Entry MachineAppPaths() { return {HKEY_LOCAL_MACHINE, kMachineAppPaths + std::wstring(kExe)}; }
Entry UserAppPaths() { return {HKEY_CURRENT_USER, kUserAppPaths + std::wstring(kExe)}; }

bool Exists(const Entry& entry) {
  UniqueKey key;
  return ::RegOpenKeyExW(entry.hive, entry.path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

DWORD SubkeyCount(const Entry& entry) {
  UniqueKey key;
  DWORD count = 0;
  if (::RegOpenKeyExW(entry.hive, entry.path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr);
  return count;
}

void Create(const Entry& entry) {
  UniqueKey key;
  ASSERT_EQ(::RegCreateKeyExW(entry.hive, entry.path.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                              key.put(), nullptr),
            ERROR_SUCCESS)
      << WideToUtf8(entry.path);
}

// Turns `entry` into a registry link to `target` (a path below
// \Registry\Machine). The registry functions follow it: deleting the entry
// deletes the target.
void MakeLink(const Entry& entry, const std::wstring& target) {
  UniqueKey key;
  ASSERT_EQ(::RegCreateKeyExW(entry.hive, entry.path.c_str(), 0, nullptr,
                              REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  const std::wstring full = L"\\Registry\\Machine\\" + target;
  ASSERT_EQ(::RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(full.c_str()),
                             static_cast<DWORD>(full.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

// A link to a key that does not exist: opening or creating the entry fails,
// as it would without rights to it.
void MakeDanglingLink(const Entry& entry) { MakeLink(entry, L"Software\\Brim Missing\\Target"); }

// Deletes the key itself, also when it is a link (which the registry
// functions would follow).
void Remove(const Entry& entry) {
  (void)::RegDeleteTreeW(entry.hive, entry.path.c_str());
  UniqueKey key;
  if (::RegOpenKeyExW(entry.hive, entry.path.c_str(), REG_OPTION_OPEN_LINK, DELETE, key.put()) !=
      ERROR_SUCCESS)
    return;
  using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
  const auto nt_delete_key = reinterpret_cast<NtDeleteKeyFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  ASSERT_NE(nt_delete_key, nullptr);
  (void)nt_delete_key(key.get());
}

void RemoveAll() {
  for (const Entry& entry : {MachineUninstall(), UserUninstall(), MachineAppPaths(), UserAppPaths()})
    Remove(entry);
}

// Every value of a key: name -> (type, data bytes).
using Values = std::map<std::wstring, std::pair<DWORD, std::string>>;

Values ReadValues(const Entry& entry) {
  Values values;
  UniqueKey key;
  if (::RegOpenKeyExW(entry.hive, entry.path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return values;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD name_length = 256;
    BYTE data[8192];
    DWORD data_size = sizeof(data);
    DWORD type = 0;
    if (::RegEnumValueW(key.get(), index, name, &name_length, nullptr, &type, data, &data_size) !=
        ERROR_SUCCESS)
      break;
    values[std::wstring(name, name_length)] = {type, std::string(reinterpret_cast<char*>(data), data_size)};
  }
  return values;
}

// The bytes of a REG_SZ value as the system stores `text`: UTF-16 and its NUL.
std::pair<DWORD, std::string> Sz(const std::wstring& text) {
  return {REG_SZ, std::string(reinterpret_cast<const char*>(text.c_str()),
                              (text.size() + 1) * sizeof(wchar_t))};
}

void LoadProfile() {
  ResetGameProfile();
  GameProfile.install_name = kGame;
  GameProfile.exe_name = kExe;
  GameProfile.install_dir = L"C:\\Games\\Brim Test\\app\\";
  GameProfile.uninstall_name = L"unins.exe";
  GameProfile.version = L"2";
  GameProfile.ver = L"15";
  GameProfile.help_link = L"https://help.example/";
  GameProfile.publisher = L"Brim Publisher";
  GameProfile.info_about = L"https://about.example/";
}

Values ExpectedUninstallValues() {
  const std::wstring quoted = L"\"C:\\Games\\Brim Test\\app\\unins.exe\"";
  return {
      {L"DisplayIcon", Sz(quoted)},
      {L"DisplayName", Sz(kGame)},
      {L"DisplayVersion", Sz(L"2.15")},
      {L"Version", Sz(L"15")},
      {L"HelpLink", Sz(L"https://help.example/")},
      {L"Publisher", Sz(L"Brim Publisher")},
      {L"InstallLocation", Sz(L"C:\\Games\\Brim Test\\app\\")},
      {L"UninstallString", Sz(quoted)},
      {L"URLInfoAbout", Sz(L"https://about.example/")},
  };
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveAll();
    LoadProfile();
  }
  void TearDown() override { RemoveAll(); }
};

}  // namespace

TEST_F(Registration, DeletesTheFourEntriesSilently) {
  const struct {
    const char* what;
    std::vector<Entry> present;
  } cases[] = {
      {"all four", {MachineUninstall(), UserUninstall(), MachineAppPaths(), UserAppPaths()}},
      {"none", {}},
      {"machine Uninstall only", {MachineUninstall()}},
      {"user Uninstall only", {UserUninstall()}},
      {"machine App Paths only", {MachineAppPaths()}},
      {"user App Paths only", {UserAppPaths()}},
  };
  const Entry neighbour{HKEY_LOCAL_MACHINE, kMachineUninstall + std::wstring(L"Brim Neighbour")};
  Create(neighbour);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const Entry& entry : c.present) Create(entry);
    DeleteRegistrationKeys();
    EXPECT_FALSE(Exists(MachineUninstall()));
    EXPECT_FALSE(Exists(UserUninstall()));
    EXPECT_FALSE(Exists(MachineAppPaths()));
    EXPECT_FALSE(Exists(UserAppPaths()));
  }
  EXPECT_TRUE(Exists(neighbour));
  Remove(neighbour);
}

TEST_F(Registration, DeletesInTheirOrder) {
  // Entry `first` leads to a key K, entry `first + 1` to K's only subkey.
  // Deleted in order, K still has its subkey when its turn comes and stays;
  // the other way round both would go.
  const Entry entries[] = {MachineUninstall(), UserUninstall(), MachineAppPaths(), UserAppPaths()};
  const Entry k{HKEY_LOCAL_MACHINE, L"Software\\Brim Order Test"};
  const Entry sub{HKEY_LOCAL_MACHINE, k.path + L"\\Sub"};
  for (int first = 0; first < 3; ++first) {
    SCOPED_TRACE(first);
    RemoveAll();
    Create(sub);
    MakeLink(entries[first], k.path);
    MakeLink(entries[first + 1], sub.path);
    DeleteRegistrationKeys();
    EXPECT_TRUE(Exists(k));
    EXPECT_FALSE(Exists(sub));
    Remove(k);
  }
}

TEST_F(Registration, KeyWithSubkeysStays) {
  const Entry sub{HKEY_LOCAL_MACHINE, MachineUninstall().path + L"\\Component"};
  Create(sub);
  Create(UserAppPaths());
  DeleteRegistrationKeys();
  EXPECT_TRUE(Exists(MachineUninstall()));
  EXPECT_TRUE(Exists(sub));
  EXPECT_FALSE(Exists(UserAppPaths()));
}

TEST_F(Registration, EmptyNamesNeverNameTheParentKeys) {
  // An empty parent key, as a fresh user hive may have it: a deletion that
  // named it would remove it.
  const Entry user_app_paths{HKEY_CURRENT_USER, kUserAppPaths};
  const Entry user_uninstall{HKEY_CURRENT_USER, kUserUninstall};
  Create(user_app_paths);
  Create(user_uninstall);
  ASSERT_EQ(SubkeyCount(user_app_paths), 0u);
  ASSERT_EQ(SubkeyCount(user_uninstall), 0u);
  Create(MachineUninstall());
  Create(MachineAppPaths());

  GameProfile.exe_name.clear();
  DeleteRegistrationKeys();
  EXPECT_TRUE(Exists(user_app_paths));
  EXPECT_FALSE(Exists(MachineUninstall()));

  GameProfile.exe_name = kExe;
  GameProfile.install_name.clear();
  Create(MachineUninstall());
  DeleteRegistrationKeys();
  EXPECT_TRUE(Exists(user_uninstall));
  EXPECT_TRUE(Exists(MachineUninstall()));
  EXPECT_FALSE(Exists(MachineAppPaths()));

  // The rewrite writes nothing into the parents: no Uninstall entry without
  // a name, no App Paths entry without an executable.
  const Entry machine_app_paths{HKEY_LOCAL_MACHINE, kMachineAppPaths};
  const Entry machine_uninstall{HKEY_LOCAL_MACHINE, kMachineUninstall};
  const Values before_uninstall = ReadValues(machine_uninstall);
  EXPECT_FALSE(RestoreRegistrationKeys());
  EXPECT_EQ(ReadValues(machine_uninstall), before_uninstall);
  EXPECT_TRUE(ReadValues(user_uninstall).empty());
  EXPECT_EQ(ReadValues(MachineAppPaths()).size(), 1u);

  LoadProfile();
  GameProfile.exe_name.clear();
  const Values before_app_paths = ReadValues(machine_app_paths);
  EXPECT_TRUE(RestoreRegistrationKeys());
  EXPECT_EQ(ReadValues(machine_app_paths), before_app_paths);
  EXPECT_TRUE(ReadValues(user_app_paths).empty());
  EXPECT_EQ(ReadValues(MachineUninstall()), ExpectedUninstallValues());
}

TEST_F(Registration, RewriteHoldsTheNineValuesAndTheExecutablePath) {
  // Deleted first, as the relocation stage leaves it, then written again.
  Create(MachineUninstall());
  DeleteRegistrationKeys();
  ASSERT_TRUE(RestoreRegistrationKeys());
  EXPECT_EQ(ReadValues(MachineUninstall()), ExpectedUninstallValues());
  const Values app_path = {{L"", Sz(L"C:\\Games\\Brim Test\\app\\brimtest.exe")}};
  EXPECT_EQ(ReadValues(MachineAppPaths()), app_path);
  EXPECT_FALSE(Exists(UserUninstall()));
  EXPECT_FALSE(Exists(UserAppPaths()));
}

TEST_F(Registration, RewriteKeepsOtherValuesOfAnExistingEntry) {
  Create(MachineUninstall());
  {
    UniqueKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, MachineUninstall().path.c_str(), 0, KEY_WRITE,
                              key.put()),
              ERROR_SUCCESS);
    ASSERT_TRUE(WriteStringValue(key.get(), L"DisplayName", L"Old Name"));
    ASSERT_TRUE(WriteStringValue(key.get(), L"Comments", L"kept"));
  }
  ASSERT_TRUE(RestoreRegistrationKeys());
  Values expected = ExpectedUninstallValues();
  expected[L"Comments"] = Sz(L"kept");
  EXPECT_EQ(ReadValues(MachineUninstall()), expected);
}

TEST_F(Registration, ValueForms) {
  const std::wstring long_link = L"https://help.example/" + std::wstring(600, L'x');
  const struct {
    const char* what;
    std::wstring version, ver, uninstall_name, help_link;
    const wchar_t* display_version;
    const wchar_t* uninstall_string;
  } cases[] = {
      {"version 2, ver 15", L"2", L"15", L"unins.exe", L"h", L"2.15",
       L"\"C:\\Games\\Brim Test\\app\\unins.exe\""},
      {"both empty", L"", L"", L"unins.exe", L"h", L".", L"\"C:\\Games\\Brim Test\\app\\unins.exe\""},
      {"uninstaller not named", L"1", L"0", L"", L"h", L"1.0",
       L"\"C:\\Games\\Brim Test\\app\\uninstall.exe\""},
      {"value longer than 511", L"3", L"1", L"unins.exe", long_link, L"3.1",
       L"\"C:\\Games\\Brim Test\\app\\unins.exe\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveAll();
    LoadProfile();
    GameProfile.version = c.version;
    GameProfile.ver = c.ver;
    // Empty stands for a descriptor without the member: the start value.
    if (!c.uninstall_name.empty()) GameProfile.uninstall_name = c.uninstall_name;
    else GameProfile.uninstall_name = GameProfileRecord{}.uninstall_name;
    GameProfile.help_link = c.help_link;
    ASSERT_TRUE(RestoreRegistrationKeys());
    const Values values = ReadValues(MachineUninstall());
    ASSERT_EQ(values.size(), 9u);
    EXPECT_EQ(values.at(L"DisplayVersion"), Sz(c.display_version));
    EXPECT_EQ(values.at(L"Version"), Sz(c.ver));
    EXPECT_EQ(values.at(L"UninstallString"), Sz(c.uninstall_string));
    EXPECT_EQ(values.at(L"DisplayIcon"), Sz(c.uninstall_string));
    EXPECT_EQ(values.at(L"HelpLink"), Sz(c.help_link));
  }
}

TEST_F(Registration, UserHiveWhenMachineEntriesCannotBeCreated) {
  // Creating the machine entries fails, as it does without administrator
  // rights (Wine as root grants every right, but not a key that is gone).
  MakeDanglingLink(MachineUninstall());
  MakeDanglingLink(MachineAppPaths());
  EXPECT_TRUE(RestoreRegistrationKeys());
  EXPECT_TRUE(ReadValues(MachineUninstall()).empty());
  EXPECT_TRUE(ReadValues(MachineAppPaths()).empty());
  EXPECT_EQ(ReadValues(UserUninstall()), ExpectedUninstallValues());
  const Values app_path = {{L"", Sz(L"C:\\Games\\Brim Test\\app\\brimtest.exe")}};
  EXPECT_EQ(ReadValues(UserAppPaths()), app_path);

  // Neither hive: nothing to register in, false.
  Remove(UserUninstall());
  MakeDanglingLink(UserUninstall());
  EXPECT_FALSE(RestoreRegistrationKeys());
  EXPECT_TRUE(ReadValues(UserUninstall()).empty());
}
