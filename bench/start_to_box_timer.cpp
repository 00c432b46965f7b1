// Measures how long a user waits between starting the uninstaller and seeing
// its confirmation box:
//   start_to_box_timer PROGRAM CAPTION RUNS
// Starts PROGRAM from its own folder RUNS times, notes the milliseconds until
// a box captioned CAPTION is on screen, answers it with Cancel (which keeps
// the game installed for the next run) and notes the milliseconds until the
// copy has ended. Prints one line per run and the medians.
//   start_to_box_timer PROGRAM CAPTION ok LOG
// Once, with /log=LOG: answers OK and notes the milliseconds from the end of
// the removal (its last line in LOG) to the last box on screen, then from
// closing that box to the end of the copy.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
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

// Milliseconds since midnight, local time, as the log writes them.
double LocalMs(const SYSTEMTIME& time) {
  return ((time.wHour * 60.0 + time.wMinute) * 60.0 + time.wSecond) * 1000.0 + time.wMilliseconds;
}

// The local time of the last line of `log` holding `step`, in LocalMs; -1 when none.
double LoggedAt(const std::wstring& log, const std::string& step) {
  std::istringstream lines(test::Read(log));
  double at = -1;
  for (std::string line; std::getline(lines, line);) {
    unsigned year, month, day, hour, minute, second, ms;
    if (line.find(step) == std::string::npos ||
        std::sscanf(line.c_str(), "%u-%u-%u %u:%u:%u.%u", &year, &month, &day, &hour, &minute, &second, &ms) != 7)
      continue;
    at = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + ms;
  }
  return at;
}

// One run answered with OK: from the end of the removal to the last box,
// and from closing it to the end of the copy.
int MeasureEnd(const std::wstring& program, const std::wstring& caption, const std::wstring& log) {
  std::wstring line = L"\"" + program + L"\" \"/log=" + log + L"\"";
  const std::wstring folder = program.substr(0, program.find_last_of(L'\\') + 1);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &info))
    return 1;
  UniqueHandle process(info.hProcess), thread(info.hThread);
  const test::Box question = test::AnswerBox(caption, test::Answer::kOk, 120000);
  SYSTEMTIME shown = {};
  for (const double start = Now(); !::FindWindowW(L"#32770", caption.c_str()); ::Sleep(2))
    if (Now() - start > 300000) return 1;
  ::GetLocalTime(&shown);
  const test::Box last = test::AnswerBox(caption, test::Answer::kOk, 10000);
  const double closed = Now();
  if (question.process) ::WaitForSingleObject(question.process.get(), 60000);
  const double ended = Now() - closed;
  const double removed = LoggedAt(log, "removal of the uninstaller and its folders");
  if (removed < 0 || !last.found) return 1;
  std::printf("end of the removal to the last box: %.0f ms; box closed to the end: %.0f ms\n",
              LocalMs(shown) - removed, ended);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  if (std::wstring(argv[3]) == L"ok") return argc > 4 ? MeasureEnd(argv[1], argv[2], argv[4]) : 2;
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
