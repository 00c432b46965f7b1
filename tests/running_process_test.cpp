#include "cleanup/running_process.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/unique_resource.h"
#include "profile/game_profile.h"
#include "tests/support/test_support.h"

namespace {

// Copies of the fake game running under a chosen file name; whatever still
// runs at the end of the test is ended.
class RunningGames {
 public:
  explicit RunningGames(const std::wstring& folder) : folder_(folder) {}
  ~RunningGames() {
    for (UniqueHandle& process : processes_) {
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), 5000);
    }
  }

  // Starts one copy as `subfolder` + `name`; returns its process id.
  DWORD Start(const std::wstring& name, const std::wstring& subfolder = L"") {
    const std::wstring path = folder_ + subfolder + name;
    oldtest::MakeFolders(folder_ + subfolder);
    if (!oldtest::PathExists(path))
      ::CopyFileW((oldtest::ProgramFolder() + L"fake_game.exe").c_str(), path.c_str(), TRUE);
    PROCESS_INFORMATION info = oldtest::StartProcess(L"\"" + path + L"\"");
    UniqueHandle thread(info.hThread);
    processes_.emplace_back(info.hProcess);
    return info.dwProcessId;
  }

  size_t StillRunning() const {
    size_t running = 0;
    for (const UniqueHandle& process : processes_)
      if (::WaitForSingleObject(process.get(), 2000) == WAIT_TIMEOUT) ++running;
    return running;
  }

 private:
  std::wstring folder_;
  std::vector<UniqueHandle> processes_;
};

constexpr DWORD kPauseMs = 300;

}  // namespace

TEST(RunningProcess, FindsOnlyTheExactName) {
  RunningGames games(oldtest::FreshTestFolder());
  const DWORD id = games.Start(L"BrimGame.exe");
  EXPECT_EQ(FindProcessByName(L"BrimGame.exe"), id);
  EXPECT_EQ(FindProcessByName(L"brimgame.exe"), 0u);
  EXPECT_EQ(FindProcessByName(L"BrimGame"), 0u);
  EXPECT_EQ(FindProcessByName(L"BrimGame.exe "), 0u);
  EXPECT_EQ(FindProcessByName(L""), 0u);
}

TEST(RunningProcess, EndsOneCopyPerAttempt) {
  const struct {
    const char* what;
    int copies;
    int attempts;
    bool stopped;
  } cases[] = {
      {"not running", 0, 1, true},
      {"one copy, its one attempt ends it but no search follows", 1, 1, false},
      {"one copy, a second attempt finds none", 1, 2, true},
      {"three copies in three attempts", 3, 3, false},
      {"three copies, the fourth search finds none", 3, 4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunningGames games(oldtest::FreshTestFolder());
    for (int i = 0; i < c.copies; ++i) games.Start(L"brimgame.exe", std::to_wstring(i) + L"\\");
    EXPECT_EQ(StopProcessesByName(L"brimgame.exe", c.attempts, kPauseMs), c.stopped);
    EXPECT_EQ(games.StillRunning(), 0u);
  }
}

TEST(RunningProcess, OtherNamesAreLeftRunning) {
  RunningGames games(oldtest::FreshTestFolder());
  games.Start(L"BrimGame.exe");
  games.Start(L"brimgame.exe.bak");
  EXPECT_TRUE(StopProcessesByName(L"brimgame.exe", 3, kPauseMs));
  EXPECT_TRUE(StopProcessesByName(L"", 3, kPauseMs));
  EXPECT_EQ(games.StillRunning(), 2u);
}

TEST(RunningProcess, StopRunningGameTakesTheTestBuildsAttemptsAndPause) {
  RunningGames games(oldtest::FreshTestFolder());
  games.Start(L"brimgame.exe");
  ResetGameProfile();
  GameProfile.exe_name = L"brimgame.exe";
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_STOP_ATTEMPTS", L"3");
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_STOP_PAUSE_MS", L"200");

  // A game that cannot be ended: every attempt finds it, the result is false.
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_TERMINATE_FAILS", L"1");
  EXPECT_FALSE(StopRunningGame());
  EXPECT_EQ(games.StillRunning(), 1u);

  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_TERMINATE_FAILS", nullptr);
  EXPECT_TRUE(StopRunningGame());
  EXPECT_EQ(games.StillRunning(), 0u);
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_STOP_ATTEMPTS", nullptr);
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_STOP_PAUSE_MS", nullptr);
}
