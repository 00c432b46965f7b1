// The game's running copies and programs of the same name elsewhere, as real
// processes.

#include "cleanup/running_process.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/harness.h"

namespace {

// Copies of the fake game under a chosen path; whatever still runs at the
// end is ended.
class RunningCopies {
 public:
  ~RunningCopies() {
    for (test::Process& process : processes_) ::TerminateProcess(process.handle.get(), 1);
  }
  void Start(const std::wstring& path) {
    test::MakeFolders(path.substr(0, path.find_last_of(L'\\')));
    ::CopyFileW((test::ProgramFolder() + L"fake_game.exe").c_str(), path.c_str(), TRUE);
    processes_.push_back(test::Start(L"\"" + path + L"\""));
  }
  // How many still run, once those from `first_to_end` on had time to end.
  size_t Running(size_t first_to_end) const {
    size_t running = 0;
    for (size_t i = 0; i < processes_.size(); ++i)
      running += ::WaitForSingleObject(processes_[i].handle.get(), i < first_to_end ? 0 : 5000) ==
                 WAIT_TIMEOUT;
    return running;
  }

 private:
  std::vector<test::Process> processes_;
};

}  // namespace

TEST(RunningProcess, EndsOnlyTheGamesCopiesOnePerAttempt) {
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
    const std::wstring base = test::FreshFolder(), game = base + L"app\\";
    RunningCopies copies;
    // Not the game: another folder's program of the same name, and names
    // that differ in case or in a suffix.
    copies.Start(base + L"elsewhere\\brimgame.exe");
    copies.Start(game + L"BrimGame.exe");
    copies.Start(game + L"brimgame.exe.bak");
    for (int i = 0; i < c.copies; ++i) copies.Start(game + std::to_wstring(i) + L"\\brimgame.exe");
    EXPECT_EQ(StopProcessesByName(L"brimgame.exe", game, c.attempts, 300), c.stopped);
    EXPECT_EQ(copies.Running(3), 3u);
    EXPECT_TRUE(StopProcessesByName(L"", game, 3, 300));
    EXPECT_TRUE(StopProcessesByName(L"BrimGame.exe", L"", 3, 300));
    EXPECT_EQ(copies.Running(3), 3u);
  }
}
