#pragma once
// Runs of the whole uninstaller as a process: its windows, and the copies it
// relaunches, which the test build records (app/launch_record.h).

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace oldtest {

struct WatchedRun {
  ProcessRun run;
  size_t windows_seen = 0;
};

// Runs `exe` with `arguments` and polls the desktop for top-level windows of
// its process while it runs. With `close_windows` each one is sent WM_CLOSE
// (a shell error box, for example). Ended after 20 s.
WatchedRun RunWatched(const std::wstring& exe, const std::wstring& arguments,
                      bool close_windows = false);

// One line of the launch record: a process of the program as it started.
struct Launch {
  DWORD process_id = 0;
  int show = -1;  // the show command it was given, -1 for none
  std::wstring command_line;
};

// Sets UNINSTALL_TEST_LAUNCH_RECORD (inherited by the program and its
// relaunched copies) and, when `temp` is not empty, TMP and TEMP; undoes it
// on destruction, ending every recorded process but `first_id` and deleting
// the files of copies it started.
class LaunchRecord {
 public:
  LaunchRecord(const std::wstring& record_file, const std::wstring& temp = L"");
  ~LaunchRecord();
  LaunchRecord(const LaunchRecord&) = delete;
  LaunchRecord& operator=(const LaunchRecord&) = delete;

  // The recorded launches; waits up to `wait_ms` until there are `count`.
  std::vector<Launch> WaitFor(size_t count, DWORD wait_ms);

 private:
  std::wstring file_;
  std::wstring old_temp_, old_tmp_;
};

// The arguments of a command line as the runtime splits them.
std::vector<std::wstring> SplitCommandLine(const std::wstring& command_line);

}  // namespace oldtest
