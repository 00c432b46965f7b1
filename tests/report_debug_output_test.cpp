// The four diagnostic lines of a report, as a debugger attached to the
// program sees them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "common/unique_resource.h"
#include "tests/support/test_support.h"

namespace {

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  if (info.fUnicode) {
    std::wstring text(info.nDebugStringLength, L'\0');
    SIZE_T read = 0;
    ::ReadProcessMemory(process, info.lpDebugStringData, &text[0],
                        text.size() * sizeof(wchar_t), &read);
    return WideToUtf8(text.c_str());
  }
  std::string text(info.nDebugStringLength, '\0');
  SIZE_T read = 0;
  ::ReadProcessMemory(process, info.lpDebugStringData, &text[0], text.size(), &read);
  return text.c_str();
}

// Runs `command_line` as a debuggee and returns every debugger string it wrote.
std::vector<std::string> DebugStringsOf(const std::wstring& command_line) {
  std::vector<std::string> strings;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  std::wstring mutable_line = command_line;
  if (!::CreateProcessW(nullptr, &mutable_line[0], nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &info)) {
    ADD_FAILURE() << "cannot start " << WideToUtf8(command_line);
    return strings;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  const DWORD deadline = ::GetTickCount() + 60000;
  for (;;) {
    DEBUG_EVENT event = {};
    if (!::WaitForDebugEvent(&event, 1000)) {
      if (::GetTickCount() > deadline) {
        ADD_FAILURE() << "the debuggee did not end";
        ::TerminateProcess(process.get(), 1);
        return strings;
      }
      continue;
    }
    // The debugger owns the image file handles it is given.
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
      UniqueHandle image(event.u.CreateProcessInfo.hFile);
    } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
      UniqueHandle image(event.u.LoadDll.hFile);
    } else if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
      strings.push_back(ReadDebugString(process.get(), event.u.DebugString));
    }
    const DWORD status =
        event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT
            ? DBG_EXCEPTION_NOT_HANDLED
            : DBG_CONTINUE;
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) return strings;
  }
}

}  // namespace

TEST(ReportDebugOutput, FourLinesAroundTheRequest) {
  const std::vector<std::string> strings =
      DebugStringsOf(L"\"" + oldtest::ProgramFolder() + L"report_probe.exe\"");
  // Wine may add lines of its own; ours are four in a row.
  size_t first = 0;
  while (first < strings.size() && strings[first] != "start report...\n") ++first;
  ASSERT_LE(first + 4, strings.size()) << "start line not found among " << strings.size();
  EXPECT_EQ(strings[first + 1], "localhost\n");
  const std::string& body = strings[first + 2];
  EXPECT_EQ(body.rfind("[{\"device_id\":\"", 0), 0u) << body;
  EXPECT_NE(body.find("\"event_type\":\"80018\""), std::string::npos) << body;
  EXPECT_EQ(body.substr(body.size() - 3), "}]\n");
  EXPECT_EQ(strings[first + 3], "end report...\n");
}
