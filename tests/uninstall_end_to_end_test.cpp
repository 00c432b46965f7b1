// The whole uninstall as a user lives it: the program started from the
// game's folder relocates, its copy asks, ends the game, removes, reports and
// tells. Boxes are answered as a user would; the collector on loopback
// records the reports.

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "common/unique_resource.h"
#include "tests/support/collector_records.h"
#include "tests/support/fake_install.h"
#include "tests/support/message_box.h"
#include "tests/support/test_support.h"

namespace {

using oldtest::BoxAnswer;
using oldtest::FakeGame;

constexpr DWORD kBoxTimeout = 60000;

struct Outcome {
  DWORD first_exit = 1;
  std::vector<std::wstring> boxes;  // texts, in order
  bool copy_ended = false;
  DWORD copy_exit = 1;
};

// Waits for the process behind `box`, then removes its file from the
// temporary folder so that runs do not pile up copies.
void AwaitCopy(const oldtest::AnsweredBox& box, Outcome& outcome) {
  if (!box.process) return;
  wchar_t image[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  ::QueryFullProcessImageNameW(box.process.get(), 0, image, &size);
  outcome.copy_ended = ::WaitForSingleObject(box.process.get(), 60000) == WAIT_OBJECT_0;
  ::GetExitCodeProcess(box.process.get(), &outcome.copy_exit);
  const std::wstring path(image);
  if (outcome.copy_ended && path.find(L"\\g_uninstall_") != std::wstring::npos)
    ::DeleteFileW(image);
}

// Starts `program` with `arguments` from `working_folder`, answers the
// confirmation box with `confirm` and a closing box, if any, with OK.
Outcome RunUninstall(const std::wstring& program, const std::wstring& arguments,
                     const std::wstring& working_folder, const std::wstring& caption,
                     BoxAnswer confirm, bool expect_closing_box) {
  Outcome outcome;
  PROCESS_INFORMATION info =
      oldtest::StartProcess(L"\"" + program + L"\" " + arguments, working_folder);
  UniqueHandle first(info.hProcess);
  UniqueHandle thread(info.hThread);

  oldtest::AnsweredBox question = oldtest::AnswerBox(caption, confirm, kBoxTimeout);
  if (!question.found) return outcome;
  outcome.boxes.push_back(question.text);
  if (expect_closing_box) {
    oldtest::AnsweredBox closing = oldtest::AnswerBox(caption, BoxAnswer::kOk, kBoxTimeout);
    if (closing.found) outcome.boxes.push_back(closing.text);
  }
  AwaitCopy(question, outcome);
  if (first && ::WaitForSingleObject(first.get(), 10000) == WAIT_OBJECT_0)
    ::GetExitCodeProcess(first.get(), &outcome.first_exit);
  return outcome;
}

Outcome UninstallAsUser(const FakeGame& game, BoxAnswer confirm, bool expect_closing_box) {
  return RunUninstall(game.install_dir + L"uninstall.exe", L"", game.install_dir,
                      game.game_name + L" Unistall", confirm, expect_closing_box);
}

std::string Marker(const FakeGame& game) { return "op-" + WideToUtf8(game.install_name); }

// The "error" members of the game's reports, in order ("start" for the
// start), leaving out the first `skip` of them.
std::vector<std::string> ReportedOutcomes(const FakeGame& game, size_t skip = 0) {
  std::vector<std::string> outcomes;
  const std::vector<oldtest::CollectedRequest> requests = oldtest::RequestsContaining(Marker(game));
  for (size_t i = skip; i < requests.size(); ++i) {
    const oldtest::CollectedRequest& request = requests[i];
    const size_t at = request.body.find("\"error\":\"");
    outcomes.push_back(at == std::string::npos
                           ? std::string("start")
                           : request.body.substr(at + 9, request.body.find('"', at + 9) - at - 9));
  }
  return outcomes;
}

std::string Descriptor(const std::string& install_name, const std::string& extra) {
  return "{\"game_name\":\"Demo Quest\",\"install_name\":\"" + install_name +
         "\",\"op_id\":\"op-" + install_name + "\"" + extra + "}";
}

void ExpectGameUntouched(const FakeGame& game) {
  EXPECT_TRUE(oldtest::PathExists(game.install_dir + L"data\\maps\\level1.map"));
  EXPECT_TRUE(oldtest::PathExists(game.install_dir + L"uninstall.exe"));
  EXPECT_TRUE(oldtest::PathExists(game.cache_dir + L"patch\\p1.bin"));
  EXPECT_TRUE(oldtest::PathExists(game.shortcut));
  EXPECT_TRUE(oldtest::PathExists(game.start_menu_dir));
}

void ExpectSurvivors(const FakeGame& game) {
  for (const std::wstring& file : game.must_survive) {
    EXPECT_TRUE(oldtest::PathExists(file)) << WideToUtf8(file);
  }
}

void ExpectRegistered(const FakeGame& game) {
  const std::wstring key = oldtest::UninstallKeyPath(game.install_name);
  EXPECT_EQ(oldtest::ReadStringValue(HKEY_LOCAL_MACHINE, key, L"UninstallString"),
            L"\"" + game.install_dir + L"uninstall.exe\"");
  EXPECT_EQ(oldtest::ReadStringValue(HKEY_LOCAL_MACHINE, key, L"DisplayVersion"), L"2.15");
  EXPECT_EQ(oldtest::ReadStringValue(HKEY_LOCAL_MACHINE, oldtest::AppPathsKeyPath(game.exe_name), nullptr),
            game.install_dir + game.exe_name);
}

class UninstallEndToEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    oldtest::ForgetFakeGame(game_);
    for (const wchar_t* name : {L"UNINSTALL_TEST_TERMINATE_FAILS", L"UNINSTALL_TEST_STOP_ATTEMPTS",
                                L"UNINSTALL_TEST_STOP_PAUSE_MS"}) {
      ::SetEnvironmentVariableW(name, nullptr);
    }
  }
  FakeGame game_;
};

const wchar_t kQuestion[] =
    L"Are you sure you want to completely remove Demo Quest and all of its components?";
const wchar_t kDone[] = L"Demo Quest was successfully removed from your computer.";

}  // namespace

TEST_F(UninstallEndToEnd, CancelAndCloseButtonKeepEverything) {
  for (BoxAnswer answer : {BoxAnswer::kCancel, BoxAnswer::kCloseButton}) {
    SCOPED_TRACE(answer == BoxAnswer::kCancel ? "Cancel" : "close button");
    game_ = oldtest::InstallFakeGame();
    const size_t earlier_reports = ReportedOutcomes(game_).size();
    const Outcome outcome = UninstallAsUser(game_, answer, /*expect_closing_box=*/false);
    EXPECT_EQ(outcome.first_exit, 0u);
    ASSERT_EQ(outcome.boxes, std::vector<std::wstring>{kQuestion});
    ASSERT_TRUE(outcome.copy_ended) << "a further box or a hang";
    EXPECT_EQ(outcome.copy_exit, 0u);
    ExpectGameUntouched(game_);
    ExpectSurvivors(game_);
    ExpectRegistered(game_);
    EXPECT_EQ(ReportedOutcomes(game_, earlier_reports),
              (std::vector<std::string>{"start", "cancelled_by_user"}));
  }
}

TEST_F(UninstallEndToEnd, OkRemovesTheGameAndOnlyTheGame) {
  game_ = oldtest::InstallFakeGame();
  const Outcome outcome = UninstallAsUser(game_, BoxAnswer::kOk, /*expect_closing_box=*/true);
  EXPECT_EQ(outcome.first_exit, 0u);
  EXPECT_EQ(outcome.boxes, (std::vector<std::wstring>{kQuestion, kDone}));
  ASSERT_TRUE(outcome.copy_ended);
  EXPECT_EQ(outcome.copy_exit, 0u);

  EXPECT_FALSE(oldtest::PathExists(game_.install_dir));
  EXPECT_FALSE(oldtest::PathExists(game_.game_root));
  EXPECT_FALSE(oldtest::PathExists(game_.cache_dir));
  EXPECT_FALSE(oldtest::PathExists(game_.shortcut));
  EXPECT_FALSE(oldtest::PathExists(game_.start_menu_dir));
  EXPECT_TRUE(oldtest::PathExists(game_.library + L"sdk_cache\\"));
  ExpectSurvivors(game_);
  EXPECT_FALSE(oldtest::KeyExists(HKEY_LOCAL_MACHINE, oldtest::UninstallKeyPath(game_.install_name)));
  EXPECT_FALSE(oldtest::KeyExists(HKEY_LOCAL_MACHINE, oldtest::AppPathsKeyPath(game_.exe_name)));
  EXPECT_EQ(ReportedOutcomes(game_), (std::vector<std::string>{"start", "success"}));
}

TEST_F(UninstallEndToEnd, RunningGameIsEndedThenRemoved) {
  game_ = oldtest::InstallFakeGame();
  PROCESS_INFORMATION info =
      oldtest::StartProcess(L"\"" + game_.install_dir + game_.exe_name + L"\"", game_.install_dir);
  UniqueHandle running(info.hProcess);
  UniqueHandle thread(info.hThread);
  ASSERT_TRUE(running.valid());

  const Outcome outcome = UninstallAsUser(game_, BoxAnswer::kOk, /*expect_closing_box=*/true);
  EXPECT_EQ(outcome.boxes, (std::vector<std::wstring>{kQuestion, kDone}));
  EXPECT_EQ(::WaitForSingleObject(running.get(), 0), WAIT_OBJECT_0) << "game still running";
  EXPECT_FALSE(oldtest::PathExists(game_.install_dir));
  ExpectSurvivors(game_);
  EXPECT_EQ(ReportedOutcomes(game_), (std::vector<std::string>{"start", "success"}));
}

TEST_F(UninstallEndToEnd, GameThatCannotBeEndedKeepsEverythingAndTheEntries) {
  game_ = oldtest::InstallFakeGame();
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_TERMINATE_FAILS", L"1");
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_STOP_ATTEMPTS", L"3");
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_STOP_PAUSE_MS", L"100");
  PROCESS_INFORMATION info =
      oldtest::StartProcess(L"\"" + game_.install_dir + game_.exe_name + L"\"", game_.install_dir);
  UniqueHandle running(info.hProcess);
  UniqueHandle thread(info.hThread);

  const Outcome outcome = UninstallAsUser(game_, BoxAnswer::kOk, /*expect_closing_box=*/true);
  ::TerminateProcess(running.get(), 0);
  EXPECT_EQ(outcome.boxes,
            (std::vector<std::wstring>{
                kQuestion,
                L"Demo Quest is still running please close Demo Quest then try uninstall again."}));
  EXPECT_TRUE(outcome.copy_ended);
  ExpectGameUntouched(game_);
  ExpectSurvivors(game_);
  ExpectRegistered(game_);
  EXPECT_EQ(ReportedOutcomes(game_), (std::vector<std::string>{"start", "residual_process"}));
}

TEST_F(UninstallEndToEnd, MissingOrRefusedPathRemovesNothing) {
  game_ = oldtest::InstallFakeGame();
  const std::wstring program = oldtest::ProgramFolder() + L"uninstall.exe";
  wchar_t documents[MAX_PATH] = {};
  ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, documents, CSIDL_PERSONAL, TRUE));
  const std::wstring documents_file = std::wstring(documents) + L"\\letter.txt";
  oldtest::WriteFileBytes(documents_file, "dear user");
  // A descriptor planted in the user's Documents folder and at the drive root.
  const std::string planted = Descriptor("Planted", "");
  oldtest::WriteFileBytes(std::wstring(documents) + L"\\res\\data\\init.dat", planted);

  struct Case {
    const char* what;
    std::wstring arguments;
    std::wstring caption;
  };
  const Case cases[] = {
      {"no /path", L"/action=uninstall", L" Unistall"},
      {"Documents", L"/action=uninstall /path=\"" + std::wstring(documents) + L"\"",
       L"Demo Quest Unistall"},
      {"drive root", L"/action=uninstall /path=\"C:\"", L" Unistall"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = RunUninstall(program, c.arguments, game_.install_dir, c.caption,
                                         BoxAnswer::kOk, /*expect_closing_box=*/true);
    EXPECT_EQ(outcome.boxes.size(), 2u);
    EXPECT_TRUE(outcome.copy_ended);
    EXPECT_TRUE(oldtest::PathExists(documents_file));
    ExpectGameUntouched(game_);
    ExpectSurvivors(game_);
  }
  oldtest::RemoveTestTree(std::wstring(documents) + L"\\res");
  ::DeleteFileW(documents_file.c_str());
}

TEST_F(UninstallEndToEnd, NamesThatLeaveTheirFolderTouchNothingOutside) {
  const std::string install_name = "Escape_NamesThatLeave";
  game_ = oldtest::InstallFakeGame(Descriptor(
      install_name,
      ",\"shortcut_name\":\"..\\\\..\\\\..\\\\work\\\\tests\\\\victim\",\"cache_name\":\"..\","
      "\"branch_id\":\"C:\\\\work\",\"exe_name\":\"..\\\\keep.txt\""));
  const Outcome outcome = UninstallAsUser(game_, BoxAnswer::kOk, /*expect_closing_box=*/true);
  EXPECT_EQ(outcome.boxes.size(), 2u);
  EXPECT_TRUE(outcome.copy_ended);
  // The installation itself goes; everything beside it stays.
  EXPECT_FALSE(oldtest::PathExists(game_.install_dir));
  ExpectSurvivors(game_);
  EXPECT_TRUE(oldtest::PathExists(game_.cache_dir + L"patch\\p1.bin"));
  EXPECT_TRUE(oldtest::PathExists(L"C:\\work\\tests"));
}

TEST_F(UninstallEndToEnd, PlantedSystemDllsAreNeverLoaded) {
  game_ = oldtest::InstallFakeGame();
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring planted = oldtest::ProgramFolder() + L"planted\\";
  const std::wstring markers = L"C:\\work\\markers\\";
  oldtest::RemoveTestTree(markers);
  for (const std::wstring& folder : {game_.install_dir, std::wstring(temp)}) {
    for (const wchar_t* dll : {L"wininet.dll", L"iphlpapi.dll"}) {
      ASSERT_TRUE(::CopyFileW((planted + dll).c_str(), (folder + dll).c_str(), FALSE));
    }
  }
  // Wine takes its DLL load order from the Unix environment, which the test
  // runner sets for this test alone (tests.cmake).
  ASSERT_EQ(oldtest::Env(L"WINEDLLOVERRIDES"), L"wininet,iphlpapi=n,b");

  // The planted DLL is found by an ordinary load from the same folder...
  const std::wstring probe = game_.install_dir + L"load_library_probe.exe";
  ASSERT_TRUE(::CopyFileW((oldtest::ProgramFolder() + L"load_library_probe.exe").c_str(),
                          probe.c_str(), FALSE));
  EXPECT_EQ(oldtest::RunProcess(L"\"" + probe + L"\" wininet.dll", 20000).exit_code, 0u);
  EXPECT_TRUE(oldtest::PathExists(markers + L"wininet.dll.loaded"));
  ::DeleteFileW(probe.c_str());
  oldtest::RemoveTestTree(markers);

  // ...but never by the uninstaller, in either of its two processes.
  const Outcome outcome = UninstallAsUser(game_, BoxAnswer::kOk, /*expect_closing_box=*/true);
  EXPECT_EQ(outcome.boxes.size(), 2u);
  EXPECT_FALSE(oldtest::PathExists(markers + L"wininet.dll.loaded"));
  EXPECT_FALSE(oldtest::PathExists(markers + L"iphlpapi.dll.loaded"));
  EXPECT_EQ(ReportedOutcomes(game_), (std::vector<std::string>{"start", "success"}));
  for (const wchar_t* dll : {L"wininet.dll", L"iphlpapi.dll"}) {
    ::DeleteFileW((std::wstring(temp) + dll).c_str());
  }
}
