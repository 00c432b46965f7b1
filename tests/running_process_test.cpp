// The game's running copies, and programs of the same name elsewhere, as
// real processes.

#include "cleanup/running_process.h"

#include <gtest/gtest.h>

#include "tests/support/harness.h"

TEST(RunningProcess, EndsOnlyTheGamesCopiesOnePerAttempt) {
  const struct {
    int copies, attempts;
    bool stopped;
  } cases[] = {{0, 1, true}, {1, 1, false}, {1, 2, true}, {3, 3, false}, {3, 4, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.copies << " copies, " << c.attempts << " attempts");
    const std::wstring base = test::FreshFolder(), game = base + L"app\\";
    // Not the game: a program of its name elsewhere, names differing in case
    // or in a suffix. Then the game's copies, ended one per attempt; no
    // search follows the last attempt.
    std::vector<std::wstring> paths = {base + L"elsewhere\\brimgame.exe", game + L"BrimGame.exe",
                                       game + L"brimgame.exe.bak"};
    for (int i = 0; i < c.copies; ++i) paths.push_back(game + std::to_wstring(i) + L"\\brimgame.exe");
    std::vector<test::Process> processes;
    for (const std::wstring& path : paths) {
      test::Write(path, test::Read(test::ProgramFolder() + L"helper.exe"));
      processes.push_back(test::Start(L"\"" + path + L"\""));
    }
    EXPECT_EQ(StopProcessesByName(L"brimgame.exe", game, c.attempts, 300), c.stopped);
    EXPECT_TRUE(StopProcessesByName(L"", game, 3, 300));
    EXPECT_TRUE(StopProcessesByName(L"BrimGame.exe", L"", 3, 300));
    for (size_t i = 0; i < processes.size(); ++i) {
      EXPECT_EQ(processes[i].Wait(i < 3 ? 0 : 5000), i < 3 ? ~0u : 0u) << i;
      ::TerminateProcess(processes[i].handle.get(), 1);
    }
  }
}
