// The whole program as a user lives it: started from the game's folder it
// relocates into a protected copy, which asks, ends the game, removes,
// reports and tells. Boxes are answered as a user would, the loopback
// collector records the reports, and the test build records every start.

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <sstream>

#include "cleanup/elevated_copy.h"
#include "common/text.h"
#include "tests/support/harness.h"

namespace {

using test::Answer;
using test::Exists;
using Texts = std::vector<std::wstring>;
using Strings = std::vector<std::string>;
using Members = std::map<std::string, std::string>;

const std::wstring kQuestion = L"Are you sure you want to completely remove Demo Quest and all of its components?";
const std::wstring kDone = L"Demo Quest was successfully removed from your computer.";
const std::wstring kRunning = L"Demo Quest is still running please close Demo Quest then try uninstall again.";
const std::wstring kIncomplete =
    L"Demo Quest could not be removed completely. Close any program that uses its files, then try uninstall again.";
const std::wstring kUnreadable =
    L"The game in %s could not be removed: its install information (res\\data\\init.dat) could not be read.";
const std::wstring kEntries = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\";

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, path, csidl, TRUE);
  return path;
}
std::wstring OldCopy(wchar_t digit) { return L"temp\\g_uninstall_" + std::wstring(32, digit) + L"\\"; }

// A game as the platform's installer leaves it, with its registry entries,
// another game and other files beside it that must stay, and a temporary
// folder of its own holding what earlier runs and other programs left.
struct Game {
  std::wstring base = test::FreshFolder(), app = base + L"Lib\\G\\app\\", temp = base + L"temp\\";
  std::wstring uninstall_key = kEntries + L"Uninstall\\DemoQuest", app_paths_key = kEntries + L"App Paths\\dq.exe";
  std::string marker = test::UniqueMarker();  // its op_id, which finds its reports
  std::vector<std::wstring> files{app + L"data\\level.map", base + L"Lib\\G\\launcher.cfg", base + L"Lib\\sdk_cache\\7\\p.bin",
                                  ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Demo Quest.lnk",
                                  ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\DemoQuest\\Demo Quest.lnk"};
  std::vector<std::wstring> survivors{L"Lib\\keep", L"Lib\\sdk_cache\\8\\other", L"Lib\\Other\\app\\res\\data\\init.dat",
                                      L"outside.lnk", L"temp\\notes.txt", L"temp\\g_uninstall_9\\g_uninstall_9.exe",
                                      OldCopy(L'4') + L"g_uninstall_8.exe", OldCopy(L'4') + L"also.txt"};

  explicit Game(const Members& changes = {}, const std::string& document = "") {
    Members members = {{"game_name", "Demo Quest"}, {"shortcut_name", "Demo Quest"}, {"branch_id", "7"},
                       {"install_name", "DemoQuest"}, {"exe_name", "dq.exe"}, {"op_id", marker}};
    for (const auto& [name, value] : changes) members[name] = value;
    std::string json = "{";
    for (const auto& [name, value] : members) json += "\"" + name + "\":\"" + value + "\",";
    json.back() = '}';
    test::Write(app + L"res\\data\\init.dat", document.empty() ? json : document);
    for (const std::wstring& file : files) test::Write(file);
    for (const std::wstring& file : survivors) test::Write(base + file);
    for (wchar_t old : {L'1', L'2'}) test::Write(base + OldCopy(old) + L"g_uninstall_5.exe");
    test::Write(app + L"uninstall.exe", test::Read(test::ProgramFolder() + L"uninstall.exe"));
    test::Write(app + L"dq.exe", test::Read(test::ProgramFolder() + L"helper.exe"));
    test::WriteKey(HKEY_LOCAL_MACHINE, uninstall_key, {{L"InstallLocation", app}, {L"UninstallString", L"\"" + app + L"uninstall.exe\""}});
    test::WriteKey(HKEY_LOCAL_MACHINE, app_paths_key, {{L"", app + L"dq.exe"}});
    test::SetEnv({{L"TEMP", temp}, {L"TMP", temp}, {L"UNINSTALL_TEST_LAUNCH_RECORD", base + L"launches"}});
  }
  ~Game() {
    for (const std::wstring& key : {uninstall_key, app_paths_key}) test::DeleteKey(HKEY_LOCAL_MACHINE, key);
    for (const std::wstring& file : files) ::DeleteFileW(file.c_str());
    test::SetEnv({{L"UNINSTALL_TEST_LAUNCH_RECORD", L""}});
    for (const std::wstring& launch : Launches()) {  // copies still waiting at their question
      const UniqueHandle copy(::OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(launch)));
      if (copy && launch.find(L"/action=uninstall") != std::wstring::npos) ::TerminateProcess(copy.get(), 1);
    }
  }
  bool Registered() const {
    return test::ReadKey(HKEY_LOCAL_MACHINE, uninstall_key)[L"UninstallString"] == L"\"" + app + L"uninstall.exe\"" &&
           test::ReadKey(HKEY_LOCAL_MACHINE, app_paths_key)[L""] == app + L"dq.exe";
  }
  // How many of its 6 files are left, "lost" when something beside it went.
  std::string Left() const {
    for (const std::wstring& file : survivors)
      if (!Exists(base + file)) return "lost " + WideToUtf8(file);
    size_t left = Exists(app + L"uninstall.exe");
    for (const std::wstring& file : files) left += Exists(file);
    return std::to_string(left);
  }
  Strings Reports() const {  // the "error" of each report, "start" for the start
    Strings outcomes;
    for (const test::Request& request : test::Requests(marker)) {
      const size_t at = request.body.find("\"error\":\"");
      outcomes.push_back(at == std::string::npos ? "start" : request.body.substr(at + 9, request.body.find('"', at + 9) - at - 9));
    }
    return outcomes;
  }
  // The starts the test build recorded: "<id> <show command> <command line>".
  std::vector<std::wstring> Launches() const {
    std::vector<std::wstring> launches;
    std::wistringstream lines(Utf8ToWide(test::Read(base + L"launches")));
    for (std::wstring line; std::getline(lines, line);) launches.push_back(line);
    return launches;
  }
};

// Starts `command_line` from `folder`; when it `relocates`, checks that its
// first process shows no window. Answers the question with `confirm` and a
// closing box, if any, with OK: the boxes' texts, or a note of a window or an
// exit code other than 0.
Texts RunProgram(const std::wstring& command_line, const std::wstring& folder, Answer confirm,
                 const std::wstring& caption, bool relocates = true) {
  const test::Process first = test::Start(command_line, folder);
  std::pair<DWORD, bool> windows{first.id, false};
  while (relocates && first.Wait(1) == ~0u)
    ::EnumWindows([](HWND window, LPARAM context) -> BOOL {
      auto* seen = reinterpret_cast<std::pair<DWORD, bool>*>(context);
      DWORD owner = 0;
      ::GetWindowThreadProcessId(window, &owner);  // COM keeps hidden windows: a shown one counts
      seen->second = seen->second || (owner == seen->first && ::IsWindowVisible(window));
      return TRUE;
    }, reinterpret_cast<LPARAM>(&windows));
  test::Box question = test::AnswerBox(caption, confirm);
  const test::Box closing = test::AnswerBox(caption, Answer::kOk, confirm == Answer::kOk ? 60000 : 3000);
  test::Process copy;
  copy.handle = std::move(question.process);
  Texts boxes;
  for (const test::Box* box : {static_cast<const test::Box*>(&question), &closing})
    if (box->found) boxes.push_back(box->text);
  const bool clean = !windows.second && copy.Wait(60000) == 0 && first.Wait(10000) == 0;
  return clean ? boxes : Texts{L"a window or an exit code other than 0"};
}

Texts UninstallAsUser(const Game& game, Answer confirm, const std::wstring& caption = L"Demo Quest Unistall") {
  return RunProgram(L"\"" + game.app + L"uninstall.exe\"", game.app, confirm, caption);
}

}  // namespace

// One row per thing a user does or meets, from the game's own folder.
TEST(Program, AsAUserLivesIt) {
  const std::map<std::wstring, std::wstring> kUnkillable = {
      {L"UNINSTALL_TEST_TERMINATE_FAILS", L"1"}, {L"UNINSTALL_TEST_STOP_ATTEMPTS", L"3"}, {L"UNINSTALL_TEST_STOP_PAUSE_MS", L"100"}};
  const struct {
    const char* what;
    Members changes;
    bool running;  // the game runs from its folder, a program of its name elsewhere, an earlier copy
    std::map<std::wstring, std::wstring> seams;
    Answer confirm;
    Texts boxes;
    Strings reports;
    std::string left;
    bool registered;
  } cases[] = {
      {"Cancel", {}, false, {}, Answer::kCancel, {kQuestion}, {"start", "cancelled_by_user"}, "6", true},
      {"the close button", {}, false, {}, Answer::kCloseButton, {kQuestion}, {"start", "cancelled_by_user"}, "6", true},
      {"OK", {}, false, {}, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "0", false},
      {"OK while the game runs", {}, true, {}, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "0", false},
      {"OK, the game cannot be ended", {}, true, kUnkillable, Answer::kOk, {kQuestion, kRunning}, {"start", "residual_process"}, "6", true},
      {"names that leave their folders",
       {{"shortcut_name", "..\\\\..\\\\..\\\\work\\\\tests\\\\Program.AsAUserLivesIt\\\\outside"}, {"cache_name", ".."},
        {"branch_id", "C:\\\\work"}, {"uninstall_name", "..\\\\evil.exe"}},
       false, {}, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "2", false},
      {"cache and branch naming another game", {{"cache_name", "Other"}, {"branch_id", "app"}}, false, {}, Answer::kOk,
       {kQuestion, kDone}, {"start", "success"}, "1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Game game(c.changes);
    test::SetEnv(c.seams);
    std::vector<test::Process> running;
    for (const std::wstring& program : {game.app + L"dq.exe", game.base + L"dq.exe", game.base + OldCopy(L'3') + L"g_uninstall_6.exe"})
      if (c.running) test::Write(program, test::Read(game.app + L"dq.exe")), running.push_back(test::Start(L"\"" + program + L"\""));
    EXPECT_EQ(UninstallAsUser(game, c.confirm), c.boxes);
    EXPECT_EQ(game.Reports(), c.reports);
    EXPECT_EQ(game.Left(), c.left);
    EXPECT_EQ(game.Registered(), c.registered);
    // Started hidden, from a folder of its own with a random name, as
    // /action=uninstall /path="<folder>" ; earlier copies but a running one swept.
    const std::vector<std::wstring> launches = game.Launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_NE(launches[1].find(L" 0 \"" + game.temp + L"g_uninstall_"), std::wstring::npos) << WideToUtf8(launches[1]);
    EXPECT_EQ(launches[1].find_first_not_of(L"0123456789abcdef", launches[1].find(L"g_uninstall_") + 12),
              launches[1].find(L"g_uninstall_") + 44);
    EXPECT_NE(launches[1].find(L".exe\" /action=uninstall /path=\"" + game.app.substr(0, game.app.size() - 1) + L"\" "),
              std::wstring::npos);
    for (wchar_t old : {L'1', L'2'}) EXPECT_FALSE(Exists(game.base + OldCopy(old)));
    for (size_t i = 0; i < running.size(); ++i) {
      EXPECT_EQ(running[i].Wait(0), i == 0 && c.seams.empty() ? 0u : ~0u) << i;  // only the game was ended
      ::TerminateProcess(running[i].handle.get(), 0);
    }
    for (const auto& seam : c.seams) test::SetEnv({{seam.first, L""}});
  }
}

// A descriptor that names another program's entries: they stay exactly as
// they were, whether the user cancels or goes on.
TEST(Program, AnotherProgramsEntriesAreNeverTouched) {
  const test::Values uninstall = {{L"InstallLocation", L"C:\\Program Files\\Other\\"}, {L"Size", L"9"}};
  const test::Values app_paths = {{L"", L"C:\\Program Files\\Other\\other.exe"}};
  for (Answer answer : {Answer::kCancel, Answer::kOk}) {
    test::WriteKey(HKEY_LOCAL_MACHINE, kEntries + L"Uninstall\\Other", uninstall);
    test::WriteKey(HKEY_LOCAL_MACHINE, kEntries + L"App Paths\\other.exe", app_paths);
    const Game game(Members{{"install_name", "Other"}, {"exe_name", "other.exe"}});
    EXPECT_EQ(UninstallAsUser(game, answer).size(), answer == Answer::kOk ? 2u : 1u);
    EXPECT_EQ(test::ReadKey(HKEY_LOCAL_MACHINE, kEntries + L"Uninstall\\Other"), uninstall);
    EXPECT_EQ(test::ReadKey(HKEY_LOCAL_MACHINE, kEntries + L"App Paths\\other.exe"), app_paths);
  }
  for (const wchar_t* key : {L"Uninstall\\Other", L"App Paths\\other.exe"}) test::DeleteKey(HKEY_LOCAL_MACHINE, kEntries + key);
}

// Whenever the game is still there after OK, the user is not told it went:
// no descriptor to read, a refused folder, a file that cannot be deleted.
TEST(Program, NoSuccessWhenTheGameIsStillThere) {
  const std::wstring documents = ShellFolder(CSIDL_PERSONAL), program = L"\"" + test::ProgramFolder() + L"uninstall.exe\"";
  test::Write(documents + L"\\letter.txt", "dear user");
  test::Write(documents + L"\\res\\data\\init.dat", "{\"game_name\":\"Demo Quest\"}");
  const size_t unreadable = test::Requests("\"error\":\"unreadable_descriptor\"").size();
  // No /path: the descriptor is looked for at the drive's root.
  EXPECT_EQ(RunProgram(program + L" /action=uninstall", L"C:\\work", Answer::kOk, L" Unistall", false),
            (Texts{L"Are you sure you want to completely remove  and all of its components?", FormatWide(kUnreadable.c_str(), L"\\")}));
  EXPECT_EQ(test::Requests("\"error\":\"unreadable_descriptor\"").size(), unreadable + 1);
  EXPECT_EQ(RunProgram(program + L" /action=uninstall /path=\"" + documents + L"\"", L"C:\\work", Answer::kOk, L"Demo Quest Unistall", false),
            (Texts{kQuestion, kIncomplete}));
  EXPECT_EQ(test::Read(documents + L"\\letter.txt"), "dear user");
  {
    const Game game({}, std::string(4000, '['));  // deep enough to break the parser
    EXPECT_EQ(UninstallAsUser(game, Answer::kOk, L" Unistall").size(), 2u);
  }
  const Game game;
  test::LayOut(game.app, L"stuck!");
  EXPECT_EQ(UninstallAsUser(game, Answer::kOk), (Texts{kQuestion, kIncomplete}));
  EXPECT_EQ(game.Reports(), (Strings{"start", "incomplete_removal"}));
  EXPECT_TRUE(game.Registered());
  ::SetFileAttributesW((game.app + L"stuck").c_str(), FILE_ATTRIBUTE_NORMAL);
  test::RemoveTree(documents + L"\\res");
  ::DeleteFileW((documents + L"\\letter.txt").c_str());
}

TEST(Program, RelocationThatFailsLeavesTheGameRegisteredAndNoCopy) {
  const Game game;
  test::Write(game.base + L"plain file");
  // No temporary folder: nothing changes, nothing starts.
  for (const std::wstring& temp : {game.base + L"missing\\", game.base + L"plain file\\"}) {
    test::SetEnv({{L"TEMP", temp}, {L"TMP", temp}});
    EXPECT_EQ(test::Start(L"\"" + game.app + L"uninstall.exe\"", game.app).Wait(), 0u);
    EXPECT_TRUE(game.Registered());
  }
  EXPECT_EQ(game.Launches().size(), 2u);
  // A copy that cannot start: the entries are written again from the
  // descriptor, in the program's own folder, and the copy goes.
  test::SetEnv({{L"TEMP", game.temp}, {L"TMP", game.temp}, {L"UNINSTALL_TEST_START_FAILS", L"1"}});
  EXPECT_EQ(test::Start(L"\"" + game.app + L"uninstall.exe\" /path=elsewhere", game.app).Wait(), 0u);
  test::SetEnv({{L"UNINSTALL_TEST_START_FAILS", L""}});
  test::Values entry = test::ReadKey(HKEY_LOCAL_MACHINE, game.uninstall_key);
  EXPECT_EQ(entry[L"DisplayName"] + L"|" + entry[L"InstallLocation"] + L"|" + entry[L"DisplayVersion"], L"DemoQuest|" + game.app + L"|.");
  EXPECT_TRUE(game.Registered());
  // Left: an earlier copy's folder holding another file, a folder of another name.
  WIN32_FIND_DATAW data;
  std::wstring left;
  UniqueFind find(::FindFirstFileW((game.temp + L"g_uninstall_*").c_str(), &data));
  for (bool more = find.valid(); more; more = ::FindNextFileW(find.get(), &data)) left += data.cFileName + std::wstring(L" ");
  EXPECT_EQ(left, OldCopy(L'4').substr(5, 44) + L" g_uninstall_9 ");
}

TEST(Program, TheCopyIsHeldUntilStartedInAFolderOnlyAdministratorsWrite) {
  const std::wstring temp = test::FreshFolder(), program = test::ProgramFolder() + L"uninstall.exe";
  ElevatedCopy copy = MakeElevatedCopy(program, temp, 77);
  ASSERT_TRUE(copy);
  const std::wstring folder = copy.path().substr(0, copy.path().find_last_of(L'\\'));
  EXPECT_EQ(copy.path(), folder + L"\\g_uninstall_77.exe");
  EXPECT_EQ(test::Read(copy.path()), test::Read(program));  // readers, the loader among them, may
  EXPECT_FALSE(UniqueFileHandle(::CreateFileW(copy.path().c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr)));
  EXPECT_FALSE(::DeleteFileW(copy.path().c_str()) || ::MoveFileW(folder.c_str(), (folder + L"x").c_str()));
  // Wine keeps no security descriptor of a folder's own (it maps it to Unix
  // permissions): the one the program hands over is read back.
  UniqueHandle token;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put());
  alignas(TOKEN_USER) BYTE user[256];
  DWORD size = 0;
  wchar_t *sid = nullptr, *text = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size);
  ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(ProtectedFolderSecurity().c_str(), 1, &descriptor, nullptr));
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, 1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                        &text, nullptr);
  // Owner Administrators; protected; full control for Administrators and
  // SYSTEM, read and execute for the user, each passed on to the copy.
  EXPECT_EQ(std::wstring(text), L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;" + std::wstring(sid) + L")");
  for (void* memory : {static_cast<void*>(sid), static_cast<void*>(text), descriptor}) ::LocalFree(memory);
  copy.Discard();
  EXPECT_FALSE(Exists(folder));
}

TEST(Program, EndsWithZeroAndNoWindowWhateverItIsGivenAndAsksForAdministrator) {
  const Game game;
  for (const std::wstring& arguments : {std::wstring(L"/verbose --path=x -x"), std::wstring(L"/action=Uninstall"),
                                        L"\"/path=" + std::wstring(5000, L'p') + L"\""})
    EXPECT_EQ(RunProgram(L"\"" + game.app + L"uninstall.exe\" " + arguments, game.app, Answer::kCancel, L"Demo Quest Unistall").size(), 1u);
  const UniqueLibrary module(::LoadLibraryExW((game.app + L"uninstall.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  const HRSRC manifest = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_TRUE(manifest);
  const std::string xml(static_cast<const char*>(::LockResource(::LoadResource(module.get(), manifest))),
                        ::SizeofResource(module.get(), manifest));
  EXPECT_NE(xml.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_EQ(xml.find("<compatibility"), std::string::npos);  // Windows 8 and later report 6.2: "Win10"
}

TEST(Program, PlantedSystemDllsAreNeverLoaded) {
  const Game game;
  for (const std::wstring& folder : {game.app, game.temp})
    for (const wchar_t* dll : {L"wininet.dll", L"iphlpapi.dll"})
      test::Write(folder + dll, test::Read(test::ProgramFolder() + L"planted\\" + dll));
  // Wine takes its DLL load order from the Unix environment, which the test
  // runner sets for this test alone (tests.cmake). An ordinary load from the
  // program's folder finds the planted DLL...
  ASSERT_EQ(test::Env(L"WINEDLLOVERRIDES"), L"wininet,iphlpapi=n,b");
  test::Write(game.app + L"probe.exe", test::Read(test::ProgramFolder() + L"helper.exe"));
  test::SetEnv({{L"HELPER", L"load"}});
  EXPECT_EQ(test::Start(L"\"" + game.app + L"probe.exe\" wininet.dll").Wait(), 0u);
  test::SetEnv({{L"HELPER", L""}});
  EXPECT_TRUE(Exists(L"C:\\work\\markers\\wininet.dll.loaded"));
  test::RemoveTree(L"C:\\work\\markers");
  ::DeleteFileW((game.app + L"probe.exe").c_str());
  // ...but the uninstaller never does, in either of its two processes.
  EXPECT_EQ(UninstallAsUser(game, Answer::kOk), (Texts{kQuestion, kDone}));
  EXPECT_FALSE(Exists(L"C:\\work\\markers"));
  EXPECT_EQ(game.Reports(), (Strings{"start", "success"}));
}
