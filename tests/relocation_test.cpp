// The relocation stage and its copy: where the copy goes and what protects
// it, how it is started, what earlier runs left, and what happens when a
// step fails. The program itself: no window and exit code 0 whatever it is
// given, and the resources it carries.

#include "cleanup/elevated_copy.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <sstream>

#include "common/text.h"
#include "tests/support/harness.h"

namespace {

const std::wstring kKeys[] = {
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim Reloc Game",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Brim Reloc Game",
    L"Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brimreloc.exe",
    L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\brimreloc.exe"};
HKEY HiveOf(int key) { return key % 2 == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

struct Launch {
  DWORD id = 0;
  int show = -1;  // -1: none given
  std::wstring command_line;
};

// The game's folder with the program and its four entries, a temporary
// folder of its own and the launch record the test build writes; the copies
// it started are ended at the end.
class Relocation : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = app_ + L"\\uninstall.exe";
    test::MakeFolders(temp_);
    test::MakeFolders(app_);
    ::CopyFileW((test::ProgramFolder() + L"uninstall.exe").c_str(), program_.c_str(), FALSE);
    test::Write(app_ + L"\\res\\data\\init.dat",
                "{\"install_name\":\"Brim Reloc Game\",\"exe_name\":\"brimreloc.exe\","
                "\"version\":\"2\",\"ver\":\"15\"}");
    for (int key = 0; key < 4; ++key)
      test::WriteKey(HiveOf(key), kKeys[key],
                     key < 2 ? test::Values{{L"InstallLocation", app_ + L"\\"}}
                             : test::Values{{L"", app_ + L"\\brimreloc.exe"}});
    for (const wchar_t* name : {L"TEMP", L"TMP"}) ::SetEnvironmentVariableW(name, temp_.c_str());
    ::SetEnvironmentVariableW(L"UNINSTALL_TEST_LAUNCH_RECORD", record_.c_str());
  }
  void TearDown() override {
    ::SetEnvironmentVariableW(L"UNINSTALL_TEST_LAUNCH_RECORD", nullptr);
    // The copies wait at their question until ended here.
    for (const Launch& launch : Launches(0, 0)) {
      if (launch.command_line.find(L"/action=uninstall") == std::wstring::npos) continue;
      const UniqueHandle copy(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, launch.id));
      if (!copy) continue;
      ::TerminateProcess(copy.get(), 1);
      ::WaitForSingleObject(copy.get(), 5000);
    }
    for (int key = 0; key < 4; ++key) test::DeleteKey(HiveOf(key), kKeys[key]);
  }

  // The launches recorded so far, waiting up to `wait_ms` for `count`.
  std::vector<Launch> Launches(size_t count, DWORD wait_ms) const {
    for (const DWORD start = ::GetTickCount();; ::Sleep(20)) {
      std::vector<Launch> launches;
      std::istringstream lines(test::Read(record_));
      for (std::string line; std::getline(lines, line);) {
        Launch launch;
        std::istringstream fields(line);
        fields >> launch.id >> launch.show;
        std::getline(fields >> std::ws, line);
        launch.command_line = Utf8ToWide(line);
        launches.push_back(launch);
      }
      if (launches.size() >= count || ::GetTickCount() - start >= wait_ms) return launches;
    }
  }

  // Runs the program to its end; its exit code, ~0u when a window showed.
  DWORD RunWatched(const std::wstring& program, const std::wstring& arguments) const {
    const test::Process process = test::Start(L"\"" + program + L"\" " + arguments, app_);
    std::pair<DWORD, bool> search{process.id, false};
    while (::WaitForSingleObject(process.handle.get(), 1) == WAIT_TIMEOUT) {
      ::EnumWindows([](HWND window, LPARAM context) -> BOOL {
        auto* found = reinterpret_cast<std::pair<DWORD, bool>*>(context);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        // COM and the IME keep hidden helper windows; a shown one counts.
        if (owner == found->first && ::IsWindowVisible(window)) found->second = true;
        return TRUE;
      }, reinterpret_cast<LPARAM>(&search));
    }
    DWORD code = ~0u;
    ::GetExitCodeProcess(process.handle.get(), &code);
    return search.second ? ~0u : code;
  }

  bool Registered(int key) const { return test::KeyExists(HiveOf(key), kKeys[key]); }

  const std::wstring base_ = test::FreshFolder();
  const std::wstring app_ = base_ + L"Brim Reloc\\app";  // as the program sees its folder
  const std::wstring temp_ = base_ + L"temp\\";
  const std::wstring record_ = base_ + L"launches.txt";
  std::wstring program_;
};

std::wstring CopyFolder(const std::wstring& digits) {
  return L"g_uninstall_" + digits + std::wstring(32 - digits.size(), L'0');
}

}  // namespace

TEST_F(Relocation, StartsAProtectedCopyHiddenAndSweepsEarlierOnes) {
  // What earlier runs left: two copies, one still running; and what others
  // put there.
  for (const wchar_t* digits : {L"1", L"2"}) test::Write(temp_ + CopyFolder(digits) + L"\\g_uninstall_5.exe");
  const std::wstring running = temp_ + CopyFolder(L"3") + L"\\g_uninstall_6.exe";
  test::MakeFolders(temp_ + CopyFolder(L"3"));
  ::CopyFileW((test::ProgramFolder() + L"fake_game.exe").c_str(), running.c_str(), FALSE);
  const test::Process copy_running = test::Start(L"\"" + running + L"\"");
  const std::wstring kept[] = {running, temp_ + L"notes.txt", temp_ + L"g_uninstall_7\\g_uninstall_7.exe",
                               temp_ + CopyFolder(L"4") + L"\\g_uninstall_8.exe",
                               temp_ + CopyFolder(L"4") + L"\\also.txt", temp_ + L"g_uninstall_9.exe"};
  for (size_t i = 1; i < std::size(kept); ++i) test::Write(kept[i]);

  // A /path given to this stage is ignored.
  EXPECT_EQ(RunWatched(program_, L"/path=\"C:\\Elsewhere\""), 0u);
  for (int key = 0; key < 4; ++key) EXPECT_FALSE(Registered(key)) << key;
  const std::vector<Launch> launches = Launches(2, 20000);
  ASSERT_EQ(launches.size(), 2u) << "the copy did not start";
  EXPECT_EQ(launches[1].show, SW_HIDE);
  const std::vector<std::wstring> arguments = test::SplitCommandLine(launches[1].command_line);
  ASSERT_EQ(arguments.size(), 3u) << WideToUtf8(launches[1].command_line);
  EXPECT_EQ(arguments[1], L"/action=uninstall");
  EXPECT_EQ(arguments[2], L"/path=" + app_);
  EXPECT_NE(launches[1].command_line.find(L" /action=uninstall /path=\"" + app_ + L"\" "),
            std::wstring::npos);
  // The copy: a new folder of its own, its name unpredictable.
  const std::wstring& copy = arguments[0];
  ASSERT_EQ(copy.compare(0, temp_.size() + 12, temp_ + L"g_uninstall_"), 0) << WideToUtf8(copy);
  const std::wstring folder = copy.substr(temp_.size(), copy.find(L'\\', temp_.size()) - temp_.size());
  EXPECT_EQ(folder.size(), 44u);
  EXPECT_EQ(folder.find_first_not_of(L"0123456789abcdef", 12), std::wstring::npos);
  EXPECT_EQ(test::Read(copy), test::Read(program_));

  for (const wchar_t* digits : {L"1", L"2"}) EXPECT_FALSE(test::Exists(temp_ + CopyFolder(digits)));
  for (const std::wstring& path : kept) EXPECT_TRUE(test::Exists(path)) << WideToUtf8(path);
  ::TerminateProcess(copy_running.handle.get(), 0);
}

TEST_F(Relocation, FailuresLeaveTheGameRegisteredAndNoCopy) {
  test::Write(base_ + L"plain file");
  for (const std::wstring& temp : {base_ + L"missing\\", base_ + L"plain file\\"}) {
    SCOPED_TRACE(WideToUtf8(temp));
    for (const wchar_t* name : {L"TEMP", L"TMP"}) ::SetEnvironmentVariableW(name, temp.c_str());
    const size_t before = Launches(0, 0).size();
    EXPECT_EQ(RunWatched(program_, L""), 0u);
    for (int key = 0; key < 4; ++key) EXPECT_TRUE(Registered(key)) << key;
    EXPECT_EQ(Launches(before + 2, 3000).size(), before + 1) << "a copy was started";
  }
  EXPECT_FALSE(test::Exists(base_ + L"missing"));

  // A copy that cannot start: the entries are written again from the
  // descriptor, in the program's own folder, and the copy goes.
  for (const wchar_t* name : {L"TEMP", L"TMP"}) ::SetEnvironmentVariableW(name, temp_.c_str());
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_START_FAILS", L"1");
  EXPECT_EQ(RunWatched(program_, L""), 0u);
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_START_FAILS", nullptr);
  const test::Values uninstall = test::ReadKey(HKEY_LOCAL_MACHINE, kKeys[0]);
  EXPECT_EQ(uninstall.at(L"DisplayName"), L"Brim Reloc Game");
  EXPECT_EQ(uninstall.at(L"InstallLocation"), app_ + L"\\");
  EXPECT_EQ(uninstall.at(L"UninstallString"), L"\"" + program_ + L"\"");
  EXPECT_EQ(uninstall.at(L"DisplayVersion"), L"2.15");
  EXPECT_EQ(test::ReadKey(HKEY_LOCAL_MACHINE, kKeys[2]).at(L""), app_ + L"\\brimreloc.exe");
  WIN32_FIND_DATAW data;
  EXPECT_EQ(UniqueFind(::FindFirstFileW((temp_ + L"g_uninstall_*").c_str(), &data)).valid(), false);
}

TEST_F(Relocation, TheCopyIsHeldUntilStartedInAnAdministratorsFolder) {
  ElevatedCopy copy = MakeElevatedCopy(program_, temp_, 77);
  ASSERT_TRUE(copy);
  EXPECT_EQ(test::Read(copy.path()), test::Read(program_));  // readers, the loader among them
  const UniqueFileHandle writer(::CreateFileW(copy.path().c_str(), GENERIC_WRITE, 7, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer.valid());
  EXPECT_FALSE(::DeleteFileW(copy.path().c_str()));
  const std::wstring folder = copy.path().substr(0, copy.path().find_last_of(L'\\'));
  EXPECT_FALSE(::MoveFileW(folder.c_str(), (folder + L".moved").c_str()));

  // Wine keeps no security descriptor of its own for a folder (it maps it to
  // Unix permissions), so the one the program hands over is read back.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      ProtectedFolderSecurity().c_str(), SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL acl = nullptr;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  EXPECT_TRUE(::IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && acl);
  ASSERT_EQ(acl->AceCount, 3u);
  UniqueHandle token;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put());
  alignas(TOKEN_USER) BYTE user[256];
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size);
  const struct {
    WELL_KNOWN_SID_TYPE sid;  // WinNullSid: the user
    ACCESS_MASK mask;
  } expected[] = {{WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                  {WinLocalSystemSid, FILE_ALL_ACCESS},
                  {WinNullSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  for (DWORD i = 0; i < 3; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(acl, i, reinterpret_cast<void**>(&ace)));
    const PSID sid = &ace->SidStart;
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace->Mask, expected[i].mask) << i;
    EXPECT_TRUE(expected[i].sid == WinNullSid
                    ? ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)
                    : ::IsWellKnownSid(sid, expected[i].sid))
        << i;
  }
  ::LocalFree(descriptor);

  copy.Discard();
  EXPECT_FALSE(test::Exists(folder));
}

TEST_F(Relocation, ProgramEndsWithZeroAndNoWindowWhateverItIsGiven) {
  for (const std::wstring& arguments :
       {std::wstring(L"/verbose --path=x -x"), std::wstring(L"/action=Uninstall"),
        L"\"/path=" + std::wstring(5000, L'p') + L"\""}) {
    SCOPED_TRACE(WideToUtf8(arguments.substr(0, 40)));
    const size_t before = Launches(0, 0).size();
    EXPECT_EQ(RunWatched(program_, arguments), 0u);
    EXPECT_EQ(Launches(before + 2, 20000).size(), before + 2) << "no relaunched copy";
  }
  // The same without its two strings, which then cannot load.
  const std::wstring stripped = app_ + L"\\stripped.exe";
  ::CopyFileW(program_.c_str(), stripped.c_str(), FALSE);
  const HANDLE update = ::BeginUpdateResourceW(stripped.c_str(), FALSE);
  WORD empty_block[16] = {};  // blocks 66 and 67 hold strings 1040..1071
  for (WORD block : {66, 67})
    ASSERT_TRUE(::UpdateResourceW(update, RT_STRING, MAKEINTRESOURCEW(block), 2052, empty_block,
                                  sizeof(empty_block)));
  ASSERT_TRUE(::EndUpdateResourceW(update, FALSE));
  const size_t before = Launches(0, 0).size();
  EXPECT_EQ(RunWatched(stripped, L"/action=Uninstall"), 0u);
  EXPECT_EQ(Launches(before + 2, 20000).size(), before + 2);
}

TEST(Program, CarriesItsResources) {
  const UniqueLibrary module(::LoadLibraryExW((test::ProgramFolder() + L"uninstall.exe").c_str(),
                                              nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(module.valid());
  wchar_t text[100] = {};
  ASSERT_GT(::LoadStringW(module.get(), 1055, text, 100), 0);
  EXPECT_STREQ(text, L"app");
  ASSERT_GT(::LoadStringW(module.get(), 1056, text, 100), 0);
  EXPECT_STREQ(text, L"brimhelper");
  for (WORD block : {66, 67})  // Chinese (PRC)
    EXPECT_NE(::FindResourceExW(module.get(), RT_STRING, MAKEINTRESOURCEW(block), 2052), nullptr);
  EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(128), RT_GROUP_ICON), nullptr);
  EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(100), RT_DIALOG), nullptr);
  const HRSRC manifest = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(manifest, nullptr);
  const std::string xml(static_cast<const char*>(::LockResource(::LoadResource(module.get(), manifest))),
                        ::SizeofResource(module.get(), manifest));
  EXPECT_NE(xml.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_EQ(xml.find("<compatibility"), std::string::npos);
  const HRSRC version = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_VERSION);
  ASSERT_NE(version, nullptr);
  const std::wstring info(static_cast<const wchar_t*>(::LockResource(::LoadResource(module.get(), version))),
                          ::SizeofResource(module.get(), version) / sizeof(wchar_t));
  const size_t key = info.find(L"OriginalFilename");
  ASSERT_NE(key, std::wstring::npos);
  EXPECT_EQ(info.find(L"uninstall.exe", key), key + 17);
}
