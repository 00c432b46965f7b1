// The game's entries, and another program's entries under the same names,
// deleted and written again in the real (Wine) registry.

#include "cleanup/registration.h"

#include "app/relocation/handover.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/harness.h"

namespace {

using test::Values;
const std::wstring kDir = L"C:\\Games\\Brim Test\\app\\";
// Machine Uninstall, user Uninstall, machine App Paths, user App Paths.
const std::wstring kKeys[] = {
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim Test Game",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim Test Game",
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brimtest.exe",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brimtest.exe"};
HKEY Hive(int key) { return key % 2 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// An entry as an installer left it: 'g' the game's, 'o' another program's,
// 's' a program in a subfolder of the game's installation folder, 'l'
// another program installed in such a subfolder.
Values Installed(int key, char owner) {
  const std::wstring folder = owner == 'g' ? kDir : owner == 's' || owner == 'l' ? kDir + L"sub\\" : L"C:\\Program Files\\Other\\";
  if (key >= 2) return {{L"", folder + L"brimtest.exe"}};
  if (owner == 's') return {{L"UninstallString", L"\"" + folder + L"u.exe\" /x"}, {L"DisplayIcon", folder + L"u.exe,0"}};
  if (owner == 'l') return {{L"InstallLocation", folder}, {L"UninstallString", L"C:\\Program Files\\Other\\u.exe"}};
  return {{L"InstallLocation", folder}, {L"UninstallString", L"\"" + folder + L"u.exe\""}, {L"Size", L"9"}};
}

// The entry RestoreRegistrationKeys writes where it is missing.
Values Written(int key) {
  if (key >= 2) return {{L"", kDir + L"brimtest.exe"}};
  const std::wstring quoted = L"\"" + kDir + L"unins.exe\"";
  Values values = {{L"DisplayIcon", quoted}, {L"DisplayName", L"Brim Test Game"}, {L"DisplayVersion", L"2.15"},
                   {L"Version", L"15"}, {L"HelpLink", L"https://h/"}, {L"Publisher", L"Brim"},
                   {L"InstallLocation", kDir}, {L"UninstallString", quoted}, {L"URLInfoAbout", L"https://a/"}};
  return values;
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    GameProfile = {L"", L"", L"", L"", L"Brim Test Game", L"brimtest.exe", L"15", L"2", L"unins.exe",
                   L"https://a/", L"Brim", L"https://h/", L"", L"", kDir};
    Clear();
  }
  void TearDown() override { Clear(); }
  static void Clear() {
    for (int key = 0; key < 4; ++key) test::DeleteKey(Hive(key), kKeys[key]);
  }
};

}  // namespace

TEST_F(Registration, OnlyTheGamesEntriesAreDeletedOrWritten) {
  // Per key: before ('-' none, or an owner of Installed) and after ('-' none,
  // 'i' as installed, byte for byte, 'w' as written from the descriptor).
  // The way: 'd' deleted; 'w' written back without a record; 'r' recorded,
  // deleted and written back from the record.
  const struct {
    const char* before;
    char way;
    const char* after;
    bool result;
  } cases[] = {
      {"gggg", 'd', "----", false}, {"oooo", 'd', "iiii", false}, {"og-g", 'd', "i---", false},
      {"ssss", 'd', "iiii", false}, {"----", 'w', "w-w-", true},  {"g-g-", 'w', "i-i-", true},
      {"o-o-", 'w', "iwiw", true},  {"oo--", 'w', "iiww", false}, {"gggg", 'r', "iiii", true},
      {"oooo", 'r', "iiii", false}, {"-g-g", 'r', "-i-i", true},  {"--gs", 'r', "--ii", false},
      {"ll--", 'd', "ii--", false}, {"l-g-", 'r', "i-i-", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.before) + " " + c.way);
    Clear();
    std::wstring before[4];
    for (int key = 0; key < 4; ++key) {
      if (c.before[key] == '-') continue;
      test::WriteKey(Hive(key), kKeys[key], Installed(key, c.before[key]));
      // Values of other types, which an installer writes too.
      test::WriteRawValue(Hive(key), kKeys[key], L"EstimatedSize", REG_DWORD, std::string("\x40\xe2\x01\0", 4));
      test::WriteRawValue(Hive(key), kKeys[key], L"Blob", REG_BINARY, std::string("\0\xff", 2));
      before[key] = test::RawKey(Hive(key), kKeys[key]);
    }
    if (c.way == 'w') EXPECT_EQ(RestoreRegistrationKeys(), c.result);
    if (c.way == 'd') DeleteRegistrationKeys();
    if (c.way == 'r') {
      RegistrationSnapshot snapshot;
      const std::vector<RecordedEntry> record = snapshot.entries();
      snapshot.DeleteAll();
      EXPECT_EQ(RestoreRecordedEntries(record), c.result);
    }
    for (int key = 0; key < 4; ++key) {
      const char after = c.after[key];
      EXPECT_EQ(test::KeyExists(Hive(key), kKeys[key]), after != '-') << key;
      if (after == 'i') EXPECT_EQ(test::RawKey(Hive(key), kKeys[key]), before[key]) << key;
      if (after == 'w') EXPECT_EQ(test::ReadKey(Hive(key), kKeys[key]), Written(key)) << key;
    }
  }
}

// Names that are not plain name no key at all, and a key with subkeys is not
// deleted: the parent keys, which hold every program's entries, are never
// touched.
TEST_F(Registration, NamesThatAreNotPlainTouchNothing) {
  const std::wstring parent = kKeys[3].substr(0, kKeys[3].size() - 12);  // ...\App Paths\  .
  test::WriteKey(HKEY_CURRENT_USER, parent + L"Brim Sibling", {{L"", L"sibling"}});
  test::WriteKey(HKEY_LOCAL_MACHINE, kKeys[0] + L"\\Component", {});
  test::WriteKey(HKEY_LOCAL_MACHINE, kKeys[0], Installed(0, 'g'));
  DeleteRegistrationKeys();
  EXPECT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, kKeys[0]));
  for (const wchar_t* name : {L"", L".", L"..", L"..\\Brim Sibling", L"a/b", L"x\"y", L"a\tb"}) {
    SCOPED_TRACE(WideToUtf8(name));
    GameProfile.install_name = GameProfile.exe_name = name;
    DeleteRegistrationKeys();
    EXPECT_FALSE(RestoreRegistrationKeys());
    EXPECT_EQ(test::ReadKey(HKEY_CURRENT_USER, parent + L"Brim Sibling"), (Values{{L"", L"sibling"}}));
    EXPECT_TRUE(test::ReadKey(HKEY_CURRENT_USER, parent).empty());
    EXPECT_TRUE(test::ReadKey(HKEY_LOCAL_MACHINE, kKeys[0].substr(0, kKeys[0].size() - 14)).empty());
  }
  test::DeleteKey(HKEY_CURRENT_USER, parent + L"Brim Sibling");
}

TEST_F(Registration, ValueForms) {
  const std::wstring long_link = L"https://h/" + std::wstring(600, L'x');
  const struct {
    std::wstring version, ver, uninstall_name, help_link, display_version, uninstaller;
  } cases[] = {
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
    Values values = test::ReadKey(HKEY_LOCAL_MACHINE, kKeys[0]);
    EXPECT_EQ(values[L"DisplayVersion"] + L"|" + values[L"Version"] + L"|" + values[L"HelpLink"],
              c.display_version + L"|" + c.ver + L"|" + c.help_link);
    EXPECT_EQ(values[L"UninstallString"], L"\"" + kDir + c.uninstaller + L"\"");
    EXPECT_EQ(values[L"DisplayIcon"], values[L"UninstallString"]);
  }
}

// The hand-over record: what is written is read back whole; anything else,
// a record naming a key that is not one of the game's four among them, is
// not the program's record and is not used.
TEST(Handover, RecordsReadBackWholeOrNotAtAll) {
  const std::wstring machine = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim";
  const std::wstring user = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brim.exe";
  const auto record = [&](bool machine_hive, const std::wstring& path, const std::wstring& uninstaller) {
    return EncodeHandover({{0x1234, 0x5678abcdULL, true}, uninstaller,
                           {{true, machine, {{L"", REG_SZ, std::string("x\0\0", 4)}, {L"Size", REG_DWORD, std::string("\x40\xe2\x01\0", 4)}}},
                            {machine_hive, path, {{L"Blob", REG_BINARY, std::string("\0\xff", 2)}}}}});
  };
  const std::string bytes = record(false, user, L"uninstall.exe");
  HandoverRecord back;
  ASSERT_TRUE(DecodeHandover(bytes, back));
  EXPECT_EQ(EncodeHandover(back), bytes);
  EXPECT_EQ(back.entries.size(), 2u);
  const std::string forms[] = {
      bytes.substr(0, bytes.size() - 1), bytes + "x", "X" + bytes.substr(1), "",
      record(false, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\brim", L"uninstall.exe"),  // not the game's key
      record(true, user, L"uninstall.exe"),                                                          // the other hive's
      record(false, user + L"\\..\\..\\Run", L"uninstall.exe"), record(false, user, L"..\\evil.exe")};
  for (const std::string& form : forms) EXPECT_FALSE(DecodeHandover(form, back)) << form.size();
}

// The record holds whatever an installer makes of the four entries, each
// with its values whole, and the first process judges it with the copy's
// own judge: what is accepted is read back whole, what is not is refused
// before anything is deleted.
TEST(Handover, BoundsHoldTheFourEntriesWhole) {
  const struct {
    const char* what;
    size_t entries, values, value_size;
    bool accepted;
  } cases[] = {
      {"the four entries", 4, 12, 16, true},
      {"a fifth entry", 5, 12, 16, false},
      {"4,096 values in each entry", 4, 4096, 4, true},
      {"4,097 values in an entry", 1, 4097, 4, false},
      {"a value of a mebibyte in each entry", 4, 1, 1 << 20, true},
      {"more than 8 MiB in all", 1, 1, 9 << 20, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HandoverRecord record{{0x1234, 0x5678ULL, true}, L"uninstall.exe", {}};
    for (size_t e = 0; e < c.entries; ++e) {
      RecordedEntry entry{e % 2 == 0, (e % 4 < 2 ? L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim"
                                                 : L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brim.exe"),
                          {}};
      if (!entry.machine) entry.path.erase(9, 12);  // no Wow6432Node under the user's hive
      for (size_t v = 0; v < c.values; ++v)
        entry.values.push_back({L"Value" + std::to_wstring(v), REG_BINARY, std::string(c.value_size, 'v')});
      record.entries.push_back(std::move(entry));
    }
    std::string bytes;
    EXPECT_EQ(EncodeAcceptedHandover(record, bytes), c.accepted);
    HandoverRecord back;
    EXPECT_EQ(DecodeHandover(bytes, back), c.accepted);
    if (c.accepted) EXPECT_EQ(EncodeHandover(back), bytes);
  }
}

// The hand-over's handles: each is taken only when it is a real handle of
// its kind, the first process only when it is the one that started this
// process; a pseudo-handle (the current process is -1), a handle of another
// kind or another process is no hand-over.
TEST(Handover, HandlesAreTakenOnlyForWhatTheyMustBe) {
  const std::wstring record_path = test::FreshFolder() + L"record";
  test::Write(record_path);
  const UniqueFileHandle record(::CreateFileW(record_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  const UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr)), event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle read, write, self;
  ASSERT_TRUE(::CreatePipe(read.put(), write.put(), nullptr, 0));
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), self.put(),
                                PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, 0));
  const test::Process child = test::Start(L"\"" + test::ProgramFolder() + L"helper.exe\"");
  const auto value = [](HANDLE handle) { return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)); };
  const unsigned long long pseudo = ~0ULL, record_value = value(record.get()), mutex_value = value(mutex.get());
  const unsigned long long pipe_value = value(write.get());
  // Record, lock, outcome, first process, log; then which of them are taken.
  const struct {
    const char* what;
    unsigned long long values[5];
    const char* taken;
  } cases[] = {
      {"each of its kind", {record_value, mutex_value, pipe_value, 0, record_value}, "rlo-g"},
      {"the current process's pseudo-handle everywhere", {pseudo, pseudo, pseudo, pseudo, pseudo}, "-----"},
      {"the thread's and the token's pseudo-handles", {pseudo - 1, pseudo - 3, pseudo - 4, pseudo - 5, pseudo - 1}, "-----"},
      {"each where another kind belongs", {pipe_value, value(event.get()), record_value, mutex_value, pipe_value}, "-----"},
      {"this process itself as the first process", {0, 0, 0, value(self.get()), 0}, "-----"},
      {"a process it started as the first process", {0, 0, 0, value(child.handle.get()), 0}, "-----"},
      {"values that are no handle's", {record_value + 1, 0x7ffffffcULL, 0x100000000ULL + pipe_value, 2, record_value + 2}, "-----"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::SetEnv({{kHandoverVariable, FormatWide(L"%llx %llx %llx %llx %llx", c.values[0], c.values[1], c.values[2], c.values[3], c.values[4])}});
    const HandoverHandles handles = TakeHandoverHandles();
    const std::string taken = {handles.record ? 'r' : '-', handles.lock ? 'l' : '-', handles.outcome ? 'o' : '-',
                               handles.first ? 'f' : '-', handles.log ? 'g' : '-'};
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(test::Env(kHandoverVariable), L"");
  }
  ::TerminateProcess(child.handle.get(), 0);
}
