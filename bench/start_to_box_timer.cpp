// Measures how long a user waits between starting the uninstaller and seeing
// its confirmation box:
//   start_to_box_timer PROGRAM CAPTION RUNS
// Starts PROGRAM from its own folder RUNS times, notes the milliseconds until
// a box captioned CAPTION is on screen, answers it with Cancel (which keeps
// the game installed for the next run) and notes the milliseconds until the
// copy has ended. Prints one line per run and the medians.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/unique_resource.h"
#include "tests/support/harness.h"

namespace {

double Now() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring program = argv[1];
  const std::wstring caption = argv[2];
  const int runs = _wtoi(argv[3]);
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\') + 1);
  std::vector<double> times, ends;
  for (int run = 0; run < runs; ++run) {
    std::wstring line = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    const double start = Now();
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                          &startup, &info)) {
      std::printf("cannot start the program\n");
      return 1;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    while (!::FindWindowW(L"#32770", caption.c_str())) {
      if (Now() - start > 120000) {
        std::printf("no box within 120 s\n");
        return 1;
      }
      ::Sleep(2);
    }
    const double elapsed = Now() - start;
    times.push_back(elapsed);
    const test::Box box = test::AnswerBox(caption, test::Answer::kCancel, 10000);
    const double answered = Now();
    if (box.process) ::WaitForSingleObject(box.process.get(), 60000);
    ends.push_back(Now() - answered);
    std::printf("run %d: %.0f ms to the box, %.0f ms from the answer to the end\n", run + 1, elapsed,
                ends.back());
    std::fflush(stdout);
  }
  std::sort(times.begin(), times.end());
  std::sort(ends.begin(), ends.end());
  if (!times.empty())
    std::printf("median: %.0f ms to the box, %.0f ms from the answer to the end\n",
                times[times.size() / 2], ends[ends.size() / 2]);
  return 0;
}
