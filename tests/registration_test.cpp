// The game's entries, and another program's entries under the same names,
// judged before the question and deleted last, in the real (Wine) registry.

#include "cleanup/registration.h"

#include "app/relocation/handover.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/text.h"
#include "profile/game_profile.h"
#include "tests/support/harness.h"

namespace {

using test::Values;
const std::wstring kDir = L"C:\\Games\\Brim Test\\app\\";
const std::wstring kUninstallKey = L"Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim Test Game";
const std::wstring kAppPathsKey = L"Microsoft\\Windows\\CurrentVersion\\App Paths\\brimtest.exe";
// Machine Uninstall, user Uninstall, machine App Paths, user App Paths.
const std::wstring kKeys[] = {L"Software\\Wow6432Node\\" + kUninstallKey, L"Software\\" + kUninstallKey,
                              L"Software\\Wow6432Node\\" + kAppPathsKey, L"Software\\" + kAppPathsKey};
HKEY Hive(int key) { return key % 2 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }
std::wstring Named(int key) {
  return (key % 2 ? L"HKEY_CURRENT_USER\\" : L"HKEY_LOCAL_MACHINE\\") + kKeys[key];
}
std::wstring Lower(std::wstring text) {
  ::CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}
const Values kMadeAgain = {{L"DisplayName", L"Brim Test Game, installed again"}};

// An entry as an installer left it: 'g' the game's, 'o' another program's,
// 's' a program in a subfolder of the game's installation folder, 'l'
// another program installed in such a subfolder; 'c' the game's and 'p'
// another program's with a subkey; 'd' the game's whose deletion the
// system refuses (Wine keeps the access lists of keys but checks none: the
// test build's seam refuses it instead).
void Install(int key, char owner) {
  const std::wstring folder = owner == 's' || owner == 'l' ? kDir + L"sub\\"
                              : owner == 'o' || owner == 'p' ? L"C:\\Program Files\\Other\\"
                                                             : kDir;
  std::vector<std::pair<std::wstring, std::wstring>> texts;
  if (key >= 2) texts = {{L"", folder + L"brimtest.exe"}};
  else if (owner == 's') texts = {{L"UninstallString", L"\"" + folder + L"u.exe\" /x"}, {L"DisplayIcon", folder + L"u.exe,0"}};
  else if (owner == 'l') texts = {{L"InstallLocation", folder}, {L"UninstallString", L"C:\\Program Files\\Other\\u.exe"}};
  else texts = {{L"InstallLocation", folder}, {L"UninstallString", L"\"" + folder + L"u.exe\""}, {L"Size", L"9"}};
  if (owner == 'd') test::SetEnv({{L"UNINSTALL_TEST_DELETE_REFUSED", kKeys[key]}});
  UniqueKey made;
  ASSERT_EQ(::RegCreateKeyExW(Hive(key), kKeys[key].c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, made.put(), nullptr),
            ERROR_SUCCESS);
  const auto set = [&](const std::wstring& name, DWORD type, const void* data, size_t size) {
    ::RegSetValueExW(made.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
  };
  for (const auto& [name, text] : texts) set(name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  // Values of other types, which an installer writes too.
  set(L"EstimatedSize", REG_DWORD, "\x40\xe2\x01\0", 4);
  set(L"Blob", REG_BINARY, "\0\xff", 2);
  if (owner == 'c' || owner == 'p') test::WriteKey(Hive(key), kKeys[key] + L"\\Component", {});
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
    test::SetEnv({{L"UNINSTALL_TEST_DELETE_REFUSED", L""}});
    for (int key = 0; key < 4; ++key) test::DeleteKey(Hive(key), kKeys[key]);
  }
};

}  // namespace

// Each row installs the four entries, opens them as the removal does before
// its question, lets something happen meanwhile, then deletes what it
// judged the game's.
TEST_F(Registration, OnlyTheGamesEntriesGoAndOnlyThroughWhatWasJudged) {
  const auto add_subkey = [](int key) { test::WriteKey(Hive(key), kKeys[key] + L"\\Later", {}); };
  const auto make_again = [](int key) {
    test::DeleteKey(Hive(key), kKeys[key]);
    test::WriteKey(Hive(key), kKeys[key], kMadeAgain);
  };
  // Per key: before ('-' none, or an owner of Install), and after: '-' gone,
  // 'i' as installed and not written since, 'v' its values as installed (a
  // subkey was added), 'm' as made again. `undeletable` names the key the
  // judgment refuses (-1: none); `meanwhile` acts on key `on` after it.
  const struct {
    const char* what;
    const char* before;
    int undeletable;
    std::function<void(int)> meanwhile;
    int on;
    bool deleted;
    const char* after;
  } cases[] = {
      {"all four of the game's", "gggg", -1, nullptr, 0, true, "----"},
      {"another program's under the game's names", "oooo", -1, nullptr, 0, true, "iiii"},
      {"some of the game's, one another's", "og-g", -1, nullptr, 0, true, "i---"},
      {"programs in a subfolder of the installation", "ssss", -1, nullptr, 0, true, "iiii"},
      {"another program installed in a subfolder", "ll--", -1, nullptr, 0, true, "ii--"},
      {"the game's machine entry with a subkey: nothing goes", "cgg-", 0, nullptr, 0, false, "iii-"},
      {"the game's user entry with a subkey", "-cg-", 1, nullptr, 0, false, "-ii-"},
      {"another program's entry with a subkey is no concern", "po--", -1, nullptr, 0, true, "ii--"},
      {"the game's entry whose deletion the system refuses", "gdgg", 1, nullptr, 0, false, "iiii"},
      {"a subkey added after the judgment: the listing stays", "gggg", -1, add_subkey, 1, false, "-v--"},
      {"an entry deleted and made again after the judgment stays", "g-g-", -1, make_again, 0, true, "m---"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Clear();
    std::wstring before[4];
    for (int key = 0; key < 4; ++key) {
      if (c.before[key] == '-') continue;
      Install(key, c.before[key]);
      before[key] = test::RawKey(Hive(key), kKeys[key]);
    }
    ::Sleep(20);  // a write now would show in the keys' times
    GameEntries entries = GameEntries::Open();
    // Named as the removal spells it; key names ignore case.
    EXPECT_EQ(Lower(entries.undeletable()), c.undeletable < 0 ? L"" : Lower(Named(c.undeletable)));
    if (c.meanwhile) c.meanwhile(c.on);
    std::wstring left;
    EXPECT_EQ(entries.DeleteAll(left), c.deleted);
    EXPECT_EQ(left.empty(), c.deleted);
    for (int key = 0; key < 4; ++key) {
      const char after = c.after[key];
      EXPECT_EQ(test::KeyExists(Hive(key), kKeys[key]), after != '-') << key;
      const std::wstring raw = test::RawKey(Hive(key), kKeys[key]);
      if (after == 'i') EXPECT_EQ(raw, before[key]) << key;
      if (after == 'v') EXPECT_EQ(raw.substr(raw.find(L'\n')), before[key].substr(before[key].find(L'\n'))) << key;
      if (after == 'm') EXPECT_EQ(test::ReadKey(Hive(key), kKeys[key]), kMadeAgain) << key;
    }
  }
}

// Names that are not plain name no key at all: the parent keys, which hold
// every program's entries, are never opened to be deleted.
TEST_F(Registration, NamesThatAreNotPlainNameNothing) {
  const std::wstring parent = kKeys[3].substr(0, kKeys[3].size() - 12);  // ...\App Paths\  .
  test::WriteKey(HKEY_CURRENT_USER, parent + L"Brim Sibling", {{L"", L"sibling"}});
  for (const wchar_t* name : {L"", L".", L"..", L"..\\Brim Sibling", L"a/b", L"x\"y", L"a\tb"}) {
    SCOPED_TRACE(WideToUtf8(name));
    GameProfile.install_name = GameProfile.exe_name = name;
    GameEntries entries = GameEntries::Open();
    EXPECT_EQ(entries.size(), 0u);
    EXPECT_EQ(entries.undeletable(), L"");
    std::wstring left;
    EXPECT_TRUE(entries.DeleteAll(left));
    EXPECT_EQ(test::ReadKey(HKEY_CURRENT_USER, parent + L"Brim Sibling"), (Values{{L"", L"sibling"}}));
    EXPECT_TRUE(test::KeyExists(HKEY_CURRENT_USER, parent));
  }
  test::DeleteKey(HKEY_CURRENT_USER, parent + L"Brim Sibling");
}

// The hand-over record: what is written is read back whole; anything else
// is not the program's record and is not used.
TEST(Handover, RecordsReadBackWholeOrNotAtAll) {
  const auto record = [](const std::wstring& uninstaller) {
    return EncodeHandover({{0x1234, 0x5678abcdULL, true}, uninstaller});
  };
  const std::string bytes = record(L"uninstall.exe");
  HandoverRecord back;
  ASSERT_TRUE(DecodeHandover(bytes, back));
  EXPECT_EQ(EncodeHandover(back), bytes);
  EXPECT_EQ(back.uninstaller, L"uninstall.exe");
  EXPECT_TRUE(back.installation == (FileIdentity{0x1234, 0x5678abcdULL, true}));
  const std::string forms[] = {bytes.substr(0, bytes.size() - 1), bytes + "x", "X" + bytes.substr(1), "",
                               record(L"..\\evil.exe"), record(L"")};
  for (const std::string& form : forms) EXPECT_FALSE(DecodeHandover(form, back)) << form.size();
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
