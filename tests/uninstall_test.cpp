// The whole uninstall as a user lives it: the program started from the
// game's folder relocates, its copy asks, ends the game, removes, reports and
// tells. Boxes are answered as a user would; the loopback collector records
// the reports.

#include <gtest/gtest.h>
#include <shlobj.h>

#include <map>

#include "common/text.h"
#include "tests/support/harness.h"

namespace {

using test::Answer;
using test::Exists;
using Texts = std::vector<std::wstring>;
using Members = std::map<std::string, std::string>;

const wchar_t kQuestion[] =
    L"Are you sure you want to completely remove Demo Quest and all of its components?";
const wchar_t kDone[] = L"Demo Quest was successfully removed from your computer.";
const wchar_t kStillRunning[] =
    L"Demo Quest is still running please close Demo Quest then try uninstall again.";
const wchar_t kIncomplete[] =
    L"Demo Quest could not be removed completely. Close any program that uses its files, then "
    L"try uninstall again.";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kAppPathsKey[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, path, csidl, TRUE);
  return path;
}

// A game as the platform's installer leaves it, below the test's folder,
// with another game and other files beside it that must stay.
struct Game {
  std::wstring base, lib, app, cache, shortcut, menu, install_name, exe_name;
  std::string marker;  // its op_id, which finds its reports
  std::vector<std::wstring> files, survivors;

  explicit Game(const Members& changes = {}, const std::string& document = "") {
    const std::wstring suffix =
        Utf8ToWide(::testing::UnitTest::GetInstance()->current_test_info()->name());
    base = test::FreshFolder();
    lib = base + L"Lib\\";
    app = lib + L"G\\app\\";
    cache = lib + L"sdk_cache\\7\\";
    install_name = L"DemoQuest_" + suffix;
    exe_name = L"demoquest_" + suffix + L".exe";
    shortcut = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Demo Quest " + suffix + L".lnk";
    menu = ShellFolder(CSIDL_STARTMENU) + L"\\Programs\\" + install_name + L"\\";
    marker = test::UniqueMarker();
    Members members = {{"game_name", "Demo Quest"},     {"cache_name", "sdk_cache"},
                       {"branch_id", "7"},              {"ver", "15"},
                       {"version", "2"},                {"op_id", marker},
                       {"shortcut_name", "Demo Quest " + WideToUtf8(suffix)},
                       {"install_name", WideToUtf8(install_name)},
                       {"exe_name", WideToUtf8(exe_name)}};
    for (const auto& [name, value] : changes) members[name] = value;
    std::string json = "{";
    for (const auto& [name, value] : members) json += "\"" + name + "\":\"" + value + "\",";
    json.back() = '}';
    test::Write(app + L"res\\data\\init.dat", document.empty() ? json : document);
    files = {app + L"data\\maps\\level1.map", app + L"readme.txt", lib + L"G\\launcher.cfg",
             cache + L"patch\\p1.bin", shortcut, menu + L"Demo Quest.lnk"};
    survivors = {lib + L"keep.txt", lib + L"sdk_cache\\8\\other.bin", lib + L"Other\\app\\other.exe",
                 lib + L"Other\\app\\res\\data\\init.dat", base + L"outside.lnk"};
    for (const auto* list : {&files, &survivors})
      for (const std::wstring& file : *list) test::Write(file);
    for (const wchar_t* program : {L"uninstall.exe", L"fake_game.exe"})
      ::CopyFileW((test::ProgramFolder() + program).c_str(),
                  (app + (program[0] == L'u' ? std::wstring(program) : exe_name)).c_str(), FALSE);
    test::WriteKey(HKEY_LOCAL_MACHINE, kUninstallKey + install_name,
                   {{L"InstallLocation", app}, {L"UninstallString", L"\"" + app + L"uninstall.exe\""}});
    test::WriteKey(HKEY_LOCAL_MACHINE, kAppPathsKey + exe_name, {{L"", app + exe_name}});
  }
  ~Game() {
    test::DeleteKey(HKEY_LOCAL_MACHINE, kUninstallKey + install_name);
    test::DeleteKey(HKEY_LOCAL_MACHINE, kAppPathsKey + exe_name);
    ::DeleteFileW(shortcut.c_str());
    test::RemoveTree(menu);
  }

  bool Registered() const {
    return test::ReadKey(HKEY_LOCAL_MACHINE, kUninstallKey + install_name)[L"UninstallString"] ==
               L"\"" + app + L"uninstall.exe\"" &&
           test::ReadKey(HKEY_LOCAL_MACHINE, kAppPathsKey + exe_name)[L""] == app + exe_name;
  }
  // "kept", "removed", or what is off.
  std::string State() const {
    size_t there = 0;
    for (const std::wstring& file : files) there += Exists(file);
    for (const std::wstring& file : survivors)
      if (!Exists(file)) return "lost " + WideToUtf8(file);
    if (there == files.size() && Exists(app + L"uninstall.exe")) return "kept";
    if (there == 0 && !Exists(lib + L"G")) return "removed";
    return std::to_string(there) + " of " + std::to_string(files.size()) + " files left";
  }
  // The "error" member of each of its reports, "start" for the start.
  std::vector<std::string> Reports() const {
    std::vector<std::string> outcomes;
    for (const test::Request& request : test::Requests(marker)) {
      const size_t at = request.body.find("\"error\":\"");
      outcomes.push_back(at == std::string::npos
                             ? "start"
                             : request.body.substr(at + 9, request.body.find('"', at + 9) - at - 9));
    }
    return outcomes;
  }
};

struct Outcome {
  Texts boxes;
  DWORD first_exit = ~0u, copy_exit = ~0u;
};

// Starts `command_line` from `folder`, answers the first box with `confirm`
// and a closing box, if one comes, with OK, and waits for both processes.
Outcome Uninstall(const std::wstring& command_line, const std::wstring& folder, Answer confirm,
                  const std::wstring& caption = L"Demo Quest Unistall") {
  Outcome outcome;
  const test::Process first = test::Start(command_line, folder);
  test::Box question = test::AnswerBox(caption, confirm);
  if (question.found) outcome.boxes.push_back(question.text);
  const test::Box closing = test::AnswerBox(caption, Answer::kOk, confirm == Answer::kOk ? 60000 : 3000);
  if (closing.found) outcome.boxes.push_back(closing.text);
  if (question.process && ::WaitForSingleObject(question.process.get(), 60000) == WAIT_OBJECT_0)
    ::GetExitCodeProcess(question.process.get(), &outcome.copy_exit);
  if (first.handle && ::WaitForSingleObject(first.handle.get(), 10000) == WAIT_OBJECT_0)
    ::GetExitCodeProcess(first.handle.get(), &outcome.first_exit);
  return outcome;
}

Outcome UninstallAsUser(const Game& game, Answer confirm) {
  return Uninstall(L"\"" + game.app + L"uninstall.exe\"", game.app, confirm);
}

void SetSeams(const std::map<std::wstring, std::wstring>& seams) {
  for (const auto& [name, value] : seams) ::SetEnvironmentVariableW(name.c_str(), value.c_str());
}

size_t ReportsSaying(const std::string& error) {
  return test::Requests("\"error\":\"" + error + "\"").size();
}

}  // namespace

// One row per thing a user does or meets, from the game's own folder.
TEST(Uninstall, AsAUserLivesIt) {
  const std::map<std::wstring, std::wstring> kUnkillable = {
      {L"UNINSTALL_TEST_TERMINATE_FAILS", L"1"}, {L"UNINSTALL_TEST_STOP_ATTEMPTS", L"3"},
      {L"UNINSTALL_TEST_STOP_PAUSE_MS", L"100"}};
  const struct {
    const char* what;
    Members changes;
    bool running;  // the game runs from its folder, and a program of its name elsewhere
    std::map<std::wstring, std::wstring> seams;
    Answer confirm;
    Texts boxes;
    std::vector<std::string> reports;
    std::string state;
    bool registered;
  } cases[] = {
      {"Cancel", {}, false, {}, Answer::kCancel, {kQuestion}, {"start", "cancelled_by_user"}, "kept", true},
      {"the close button", {}, false, {}, Answer::kCloseButton, {kQuestion},
       {"start", "cancelled_by_user"}, "kept", true},
      {"OK", {}, false, {}, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "removed", false},
      {"OK while the game runs", {}, true, {}, Answer::kOk, {kQuestion, kDone}, {"start", "success"},
       "removed", false},
      {"OK, and the game cannot be ended", {}, true, kUnkillable, Answer::kOk,
       {kQuestion, kStillRunning}, {"start", "residual_process"}, "kept", true},
      {"names that leave their folders",
       {{"shortcut_name", "..\\\\..\\\\..\\\\work\\\\tests\\\\Uninstall.AsAUserLivesIt\\\\outside"},
        {"cache_name", ".."},
        {"branch_id", "C:\\\\work"}, {"uninstall_name", "..\\\\evil.exe"}},
       false, {}, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "2 of 6 files left", false},
      {"cache and branch naming another game", {{"cache_name", "Other"}, {"branch_id", "app"}},
       false, {}, Answer::kOk, {kQuestion, kDone}, {"start", "success"}, "1 of 6 files left", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Game game(c.changes);
    SetSeams(c.seams);
    test::Process running, elsewhere;
    if (c.running) {
      running = test::Start(L"\"" + game.app + game.exe_name + L"\"", game.app);
      ::CopyFileW((game.app + game.exe_name).c_str(), (game.base + game.exe_name).c_str(), FALSE);
      elsewhere = test::Start(L"\"" + game.base + game.exe_name + L"\"", game.base);
    }
    const Outcome outcome = UninstallAsUser(game, c.confirm);
    EXPECT_EQ(outcome.boxes, c.boxes);
    EXPECT_EQ(outcome.first_exit, 0u);
    EXPECT_EQ(outcome.copy_exit, 0u);
    EXPECT_EQ(game.Reports(), c.reports);
    EXPECT_EQ(game.State(), c.state);
    EXPECT_EQ(game.Registered(), c.registered);
    if (c.running) {
      EXPECT_EQ(::WaitForSingleObject(running.handle.get(), 0) == WAIT_OBJECT_0, c.seams.empty());
      EXPECT_EQ(::WaitForSingleObject(elsewhere.handle.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
          << "a program of the game's name elsewhere was ended";
      ::TerminateProcess(running.handle.get(), 0);
      ::TerminateProcess(elsewhere.handle.get(), 0);
    }
    for (const auto& seam : c.seams) ::SetEnvironmentVariableW(seam.first.c_str(), nullptr);
  }
}

// A descriptor that lies about whose entries its names are: another
// program's Uninstall and App Paths entries stay exactly as they were,
// whether the user cancels or goes on.
TEST(Uninstall, AnotherProgramsEntriesAreNeverTouched) {
  const std::wstring other_uninstall = std::wstring(kUninstallKey) + L"Brim Other Program";
  const std::wstring other_app_paths = std::wstring(kAppPathsKey) + L"brimother.exe";
  const test::Values uninstall = {{L"InstallLocation", L"C:\\Program Files\\Other\\"},
                                  {L"UninstallString", L"\"C:\\Program Files\\Other\\unins.exe\""},
                                  {L"EstimatedSize", L"4096"}};
  const test::Values app_paths = {{L"", L"C:\\Program Files\\Other\\brimother.exe"}};
  for (Answer answer : {Answer::kCancel, Answer::kOk}) {
    test::WriteKey(HKEY_LOCAL_MACHINE, other_uninstall, uninstall);
    test::WriteKey(HKEY_LOCAL_MACHINE, other_app_paths, app_paths);
    const Game game(Members{{"install_name", "Brim Other Program"}, {"exe_name", "brimother.exe"}});
    const Outcome outcome = UninstallAsUser(game, answer);
    EXPECT_EQ(outcome.boxes.size(), answer == Answer::kOk ? 2u : 1u);
    EXPECT_EQ(test::ReadKey(HKEY_LOCAL_MACHINE, other_uninstall), uninstall);
    EXPECT_EQ(test::ReadKey(HKEY_LOCAL_MACHINE, other_app_paths), app_paths);
  }
  test::DeleteKey(HKEY_LOCAL_MACHINE, other_uninstall);
  test::DeleteKey(HKEY_LOCAL_MACHINE, other_app_paths);
}

// Whenever the game is still there after OK, the user is not told it went:
// no descriptor to read, a refused folder, a file that cannot be deleted.
TEST(Uninstall, NoSuccessWhenTheGameIsStillThere) {
  const std::wstring documents = ShellFolder(CSIDL_PERSONAL);
  test::Write(documents + L"\\letter.txt", "dear user");
  test::Write(documents + L"\\res\\data\\init.dat", "{\"game_name\":\"Demo Quest\"}");
  const std::wstring program = L"\"" + test::ProgramFolder() + L"uninstall.exe\" /action=uninstall";
  const std::wstring unreadable_in = L"The game in %s could not be removed: its install "
                                     L"information (res\\data\\init.dat) could not be read.";
  {
    // No /path: the descriptor is looked for at the drive's root.
    const size_t before = ReportsSaying("unreadable_descriptor");
    const Outcome outcome = Uninstall(program, L"C:\\work", Answer::kOk, L" Unistall");
    EXPECT_EQ(outcome.boxes, (Texts{L"Are you sure you want to completely remove  and all of its "
                                    L"components?",
                                    FormatWide(unreadable_in.c_str(), L"\\")}));
    EXPECT_EQ(ReportsSaying("unreadable_descriptor"), before + 1);
    EXPECT_EQ(outcome.copy_exit, 0u);
  }
  {
    // A descriptor deep enough to break the parser, in the game's folder.
    const Game game({}, std::string(4000, '['));
    const Outcome outcome = Uninstall(L"\"" + game.app + L"uninstall.exe\"", game.app, Answer::kOk,
                                      L" Unistall");
    EXPECT_EQ(outcome.boxes.size(), 2u);
    EXPECT_EQ(outcome.boxes.back(), FormatWide(unreadable_in.c_str(), game.app.c_str()));
    EXPECT_EQ(outcome.copy_exit, 0u);
    EXPECT_EQ(game.State(), "kept");
  }
  {
    // The user's Documents folder named as the game's: refused.
    const Outcome outcome = Uninstall(program + L" /path=\"" + documents + L"\"", L"C:\\work",
                                      Answer::kOk);
    EXPECT_EQ(outcome.boxes, (Texts{kQuestion, kIncomplete}));
    EXPECT_EQ(test::Read(documents + L"\\letter.txt"), "dear user");
  }
  {
    // A read-only file keeps the folder: the game stays registered.
    const Game game;
    ::SetFileAttributesW((game.app + L"readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    const Outcome outcome = UninstallAsUser(game, Answer::kOk);
    EXPECT_EQ(outcome.boxes, (Texts{kQuestion, kIncomplete}));
    EXPECT_EQ(game.Reports(), (std::vector<std::string>{"start", "incomplete_removal"}));
    EXPECT_TRUE(game.Registered());
    ::SetFileAttributesW((game.app + L"readme.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  test::RemoveTree(documents + L"\\res");
  ::DeleteFileW((documents + L"\\letter.txt").c_str());
}

TEST(Uninstall, PlantedSystemDllsAreNeverLoaded) {
  const Game game;
  const std::wstring temp = test::Env(L"TEMP") + L"\\", markers = L"C:\\work\\markers\\";
  test::RemoveTree(markers);
  for (const std::wstring& folder : {game.app, temp})
    for (const wchar_t* dll : {L"wininet.dll", L"iphlpapi.dll"})
      ASSERT_TRUE(::CopyFileW((test::ProgramFolder() + L"planted\\" + dll).c_str(),
                              (folder + dll).c_str(), FALSE));
  // Wine takes its DLL load order from the Unix environment, which the test
  // runner sets for this test alone (tests.cmake).
  ASSERT_EQ(test::Env(L"WINEDLLOVERRIDES"), L"wininet,iphlpapi=n,b");
  // The planted DLL is found by an ordinary load from the same folder...
  ::CopyFileW((test::ProgramFolder() + L"load_library_probe.exe").c_str(),
              (game.app + L"probe.exe").c_str(), FALSE);
  EXPECT_EQ(test::RunToEnd(L"\"" + game.app + L"probe.exe\" wininet.dll"), 0u);
  EXPECT_TRUE(Exists(markers + L"wininet.dll.loaded"));
  ::DeleteFileW((game.app + L"probe.exe").c_str());
  test::RemoveTree(markers);
  // ...but never by the uninstaller, in either of its two processes.
  EXPECT_EQ(UninstallAsUser(game, Answer::kOk).boxes, (Texts{kQuestion, kDone}));
  EXPECT_FALSE(Exists(markers + L"wininet.dll.loaded"));
  EXPECT_FALSE(Exists(markers + L"iphlpapi.dll.loaded"));
  EXPECT_EQ(game.Reports(), (std::vector<std::string>{"start", "success"}));
  for (const wchar_t* dll : {L"wininet.dll", L"iphlpapi.dll"}) ::DeleteFileW((temp + dll).c_str());
}
