// The game's entries, and another program's entries under the same names,
// deleted and written again in the real (Wine) registry.

#include "cleanup/registration.h"

#include <gtest/gtest.h>

#include <map>

#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/harness.h"

namespace {

using test::Values;

enum Place { kMachineUninstall, kUserUninstall, kMachineAppPaths, kUserAppPaths };
const Place kPlaces[] = {kMachineUninstall, kUserUninstall, kMachineAppPaths, kUserAppPaths};
const wchar_t kDir[] = L"C:\\Games\\Brim Test\\app\\";

struct Key {
  HKEY hive;
  std::wstring path;
};

Key KeyOf(Place place, const std::wstring& name) {
  const std::wstring tail = place <= kUserUninstall ? L"Uninstall\\" : L"App Paths\\";
  const bool machine = place == kMachineUninstall || place == kMachineAppPaths;
  return {machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
          std::wstring(L"Software\\") + (machine ? L"Wow6432Node\\" : L"") +
              L"Microsoft\\Windows\\CurrentVersion\\" + tail + name};
}

// Entries as the installer left them, the game's or another program's.
Values Installed(Place place, bool game) {
  const std::wstring folder = game ? kDir : L"C:\\Program Files\\Other\\";
  if (place >= kMachineAppPaths) return {{L"", folder + L"other.exe"}};
  return {{L"InstallLocation", folder},
          {L"UninstallString", L"\"" + folder + L"uninstall.exe\""},
          {L"EstimatedSize", L"4096"}};
}

// The entries RestoreRegistrationKeys writes for the profile below.
Values Written(Place place) {
  if (place >= kMachineAppPaths) return {{L"", std::wstring(kDir) + L"brimtest.exe"}};
  const std::wstring quoted = L"\"" + std::wstring(kDir) + L"unins.exe\"";
  return {{L"DisplayIcon", quoted},         {L"DisplayName", L"Brim Test Game"},
          {L"DisplayVersion", L"2.15"},      {L"Version", L"15"},
          {L"HelpLink", L"https://help/"},   {L"Publisher", L"Brim"},
          {L"InstallLocation", kDir},        {L"UninstallString", quoted},
          {L"URLInfoAbout", L"https://about/"}};
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetGameProfile();
    GameProfile = {L"", L"", L"", L"", L"Brim Test Game", L"brimtest.exe", L"15", L"2",
                   L"unins.exe", L"https://about/", L"Brim", L"https://help/", L"", L"", kDir};
    Clear();
  }
  void TearDown() override { Clear(); }
  void Clear() {
    for (Place place : kPlaces) {
      test::DeleteKey(KeyOf(place, L"Brim Test Game").hive, KeyOf(place, L"Brim Test Game").path);
      test::DeleteKey(KeyOf(place, L"brimtest.exe").hive, KeyOf(place, L"brimtest.exe").path);
    }
  }
  static Key Entry(Place place) {
    return KeyOf(place, place <= kUserUninstall ? L"Brim Test Game" : L"brimtest.exe");
  }
};

enum Owner { kNone, kGame, kOther };
enum Expect { kAbsent, kAsInstalled, kAsWritten };

}  // namespace

TEST_F(Registration, OnlyTheGamesEntriesAreDeletedOrWritten) {
  const struct {
    const char* what;
    std::map<Place, Owner> before;
    bool restore;  // else delete
    std::map<Place, Expect> after;
    bool result;
  } cases[] = {
      {"the game's four entries are deleted",
       {{kMachineUninstall, kGame}, {kUserUninstall, kGame}, {kMachineAppPaths, kGame},
        {kUserAppPaths, kGame}},
       false, {}, false},
      {"another program's four entries stay",
       {{kMachineUninstall, kOther}, {kUserUninstall, kOther}, {kMachineAppPaths, kOther},
        {kUserAppPaths, kOther}},
       false,
       {{kMachineUninstall, kAsInstalled}, {kUserUninstall, kAsInstalled},
        {kMachineAppPaths, kAsInstalled}, {kUserAppPaths, kAsInstalled}},
       false},
      {"none there: the machine entries are written, the user's hive untouched",
       {}, true, {{kMachineUninstall, kAsWritten}, {kMachineAppPaths, kAsWritten}}, true},
      {"the game's own entries are written over",
       {{kMachineUninstall, kGame}, {kMachineAppPaths, kGame}}, true,
       {{kMachineUninstall, kAsWritten}, {kMachineAppPaths, kAsWritten}}, true},
      {"another program's machine entries: the game goes to the user's hive",
       {{kMachineUninstall, kOther}, {kMachineAppPaths, kOther}}, true,
       {{kMachineUninstall, kAsInstalled}, {kMachineAppPaths, kAsInstalled},
        {kUserUninstall, kAsWritten}, {kUserAppPaths, kAsWritten}},
       true},
      {"another program's entries in both hives: nothing is written",
       {{kMachineUninstall, kOther}, {kUserUninstall, kOther}}, true,
       {{kMachineUninstall, kAsInstalled}, {kUserUninstall, kAsInstalled},
        {kMachineAppPaths, kAsWritten}, {kUserAppPaths, kAsWritten}},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Clear();
    for (const auto& [place, owner] : c.before)
      test::WriteKey(Entry(place).hive, Entry(place).path, Installed(place, owner == kGame));
    if (c.restore) {
      EXPECT_EQ(RestoreRegistrationKeys(), c.result);
    } else {
      DeleteRegistrationKeys();
    }
    for (Place place : kPlaces) {
      SCOPED_TRACE(place);
      const auto expected = c.after.find(place);
      const Values values = test::ReadKey(Entry(place).hive, Entry(place).path);
      if (expected == c.after.end()) {
        EXPECT_FALSE(test::KeyExists(Entry(place).hive, Entry(place).path));
      } else if (expected->second == kAsInstalled) {
        EXPECT_EQ(values, Installed(place, c.before.at(place) == kGame));
      } else {
        Values wanted = Written(place);
        // An existing entry of the game's keeps the values it had besides.
        if (c.before.count(place) && place <= kUserUninstall) wanted[L"EstimatedSize"] = L"4096";
        EXPECT_EQ(values, wanted);
      }
    }
  }
}

// Names that are not plain name no key at all, and a key with subkeys is not
// deleted: the parents of every program's entries are never touched.
TEST_F(Registration, NamesThatAreNotPlainTouchNothing) {
  const Key parent = KeyOf(kUserAppPaths, L"");
  test::WriteKey(parent.hive, parent.path + L"Brim Sibling", {{L"", L"sibling"}});
  test::WriteKey(Entry(kMachineUninstall).hive, Entry(kMachineUninstall).path + L"\\Component",
                 {});
  test::WriteKey(Entry(kMachineUninstall).hive, Entry(kMachineUninstall).path,
                 Installed(kMachineUninstall, true));
  DeleteRegistrationKeys();
  EXPECT_TRUE(test::KeyExists(Entry(kMachineUninstall).hive, Entry(kMachineUninstall).path));
  for (const wchar_t* name : {L"", L".", L"..", L"..\\Brim Sibling", L"a/b", L"x\"y", L"a\tb"}) {
    SCOPED_TRACE(WideToUtf8(name));
    GameProfile.install_name = GameProfile.exe_name = name;
    DeleteRegistrationKeys();
    EXPECT_FALSE(RestoreRegistrationKeys());
    EXPECT_EQ(test::ReadKey(parent.hive, parent.path + L"Brim Sibling"),
              (Values{{L"", L"sibling"}}));
    EXPECT_TRUE(test::ReadKey(parent.hive, parent.path).empty());
    EXPECT_TRUE(test::ReadKey(HKEY_LOCAL_MACHINE, KeyOf(kMachineUninstall, L"").path).empty());
  }
  test::DeleteKey(parent.hive, parent.path + L"Brim Sibling");
}

TEST_F(Registration, ValueForms) {
  const std::wstring long_link = L"https://help/" + std::wstring(600, L'x');
  const struct {
    std::wstring version, ver, uninstall_name, help_link, display_version, uninstaller;
  } cases[] = {
      {L"2", L"15", L"unins.exe", L"h", L"2.15", L"unins.exe"},
      {L"", L"", L"unins.exe", L"h", L".", L"unins.exe"},
      {L"1", L"0", L"", L"h", L"1.0", L"uninstall.exe"},
      {L"1", L"0", L"x\" /S \"y.exe", L"h", L"1.0", L"uninstall.exe"},
      {L"3", L"1", L"..\\evil.exe", long_link, L"3.1", L"uninstall.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.uninstall_name));
    Clear();
    GameProfile.version = c.version;
    GameProfile.ver = c.ver;
    GameProfile.uninstall_name = c.uninstall_name;
    GameProfile.help_link = c.help_link;
    ASSERT_TRUE(RestoreRegistrationKeys());
    const Values values = test::ReadKey(HKEY_LOCAL_MACHINE, Entry(kMachineUninstall).path);
    EXPECT_EQ(values.at(L"DisplayVersion"), c.display_version);
    EXPECT_EQ(values.at(L"Version"), c.ver);
    EXPECT_EQ(values.at(L"UninstallString"), L"\"" + std::wstring(kDir) + c.uninstaller + L"\"");
    EXPECT_EQ(values.at(L"DisplayIcon"), values.at(L"UninstallString"));
    EXPECT_EQ(values.at(L"HelpLink"), c.help_link);
  }
}
