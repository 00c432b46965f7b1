#include "tests/support/program_runs.h"

#include <shellapi.h>

#include <set>
#include <sstream>

#include "common/text.h"
#include "common/unique_resource.h"

namespace oldtest {
namespace {

struct WindowSearch {
  DWORD process_id;
  std::set<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  // COM and the IME keep hidden helper windows; only a shown one counts.
  if (owner == search->process_id && ::IsWindowVisible(window)) search->found.insert(window);
  return TRUE;
}

void SetOrClear(const wchar_t* name, const std::wstring& value) {
  ::SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

}  // namespace

WatchedRun RunWatched(const std::wstring& exe, const std::wstring& arguments, bool close_windows) {
  WatchedRun watched;
  PROCESS_INFORMATION info = StartProcess(L"\"" + exe + L"\" " + arguments);
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (!process) return watched;
  watched.run.started = true;
  watched.run.process_id = info.dwProcessId;
  WindowSearch search{info.dwProcessId, {}};
  const DWORD start = ::GetTickCount();
  while (::WaitForSingleObject(process.get(), 1) == WAIT_TIMEOUT) {
    const size_t before = search.found.size();
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    if (close_windows && search.found.size() > before) {
      for (HWND window : search.found) ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    if (::GetTickCount() - start > 20000) {
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), 5000);
      return watched;
    }
  }
  watched.run.finished = true;
  ::GetExitCodeProcess(process.get(), &watched.run.exit_code);
  watched.windows_seen = search.found.size();
  return watched;
}

LaunchRecord::LaunchRecord(const std::wstring& record_file, const std::wstring& temp)
    : file_(record_file), old_temp_(Env(L"TEMP")), old_tmp_(Env(L"TMP")) {
  ::DeleteFileW(file_.c_str());
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_LAUNCH_RECORD", file_.c_str());
  if (!temp.empty()) {
    ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
  }
}

LaunchRecord::~LaunchRecord() {
  ::SetEnvironmentVariableW(L"UNINSTALL_TEST_LAUNCH_RECORD", nullptr);
  SetOrClear(L"TEMP", old_temp_);
  SetOrClear(L"TMP", old_tmp_);
  // The first line is the program the test started; the others are its
  // relaunched copies, which must not outlive the test.
  const std::vector<Launch> launches = WaitFor(0, 0);
  for (size_t i = 1; i < launches.size(); ++i) {
    UniqueHandle process(
        ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, launches[i].process_id));
    if (process) {
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), 5000);
    }
    const std::vector<std::wstring> arguments = SplitCommandLine(launches[i].command_line);
    if (!arguments.empty()) ::DeleteFileW(arguments[0].c_str());
  }
}

std::vector<Launch> LaunchRecord::WaitFor(size_t count, DWORD wait_ms) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    std::vector<Launch> launches;
    std::istringstream lines(ReadFileBytes(file_));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      Launch launch;
      fields >> launch.process_id >> launch.show;
      std::string rest;
      std::getline(fields, rest);
      if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
      launch.command_line = Utf8ToWide(rest);
      launches.push_back(launch);
    }
    if (launches.size() >= count || ::GetTickCount() - start >= wait_ms) return launches;
    ::Sleep(20);
  }
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& command_line) {
  std::vector<std::wstring> arguments;
  int count = 0;
  wchar_t** vector = ::CommandLineToArgvW(command_line.c_str(), &count);
  if (vector == nullptr) return arguments;
  for (int i = 0; i < count; ++i) arguments.emplace_back(vector[i]);
  ::LocalFree(vector);
  return arguments;
}

}  // namespace oldtest
