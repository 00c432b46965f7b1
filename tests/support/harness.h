#pragma once
// What the tests need of the real (Wine) system: folders and files of the
// test prefix, links the harness makes, registry keys, processes, message
// boxes and the loopback collector's records.

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/unique_resource.h"

namespace test {

// C:\bin\ or wherever the running test program lies, with "\".
std::wstring ProgramFolder();
// An empty folder of the current test below C:\work\tests, with "\".
std::wstring FreshFolder();
void Write(const std::wstring& path, const std::string& bytes = "x");  // makes the folders
std::string Read(const std::wstring& path);                            // "" when unreadable
bool Exists(const std::wstring& path);
void MakeFolders(const std::wstring& path);
// Removes a tree from the Unix side, links unlinked and never followed.
void RemoveTree(const std::wstring& path);
// A Unix symlink `link` to the folder `target` (Wine shows a reparse
// point); `folder` renamed to <folder>.moved and replaced by such a link;
// drive `letter` mapped to `target`. All inside the prefix.
bool Link(const std::wstring& link, const std::wstring& target);
bool Swap(const std::wstring& folder, const std::wstring& target);
bool MapDrive(wchar_t letter, const std::wstring& target);
std::wstring Env(const wchar_t* name);

using Values = std::map<std::wstring, std::wstring>;  // "" is the default value
void WriteKey(HKEY hive, const std::wstring& path, const Values& values);
Values ReadKey(HKEY hive, const std::wstring& path);  // REG_SZ values as text
bool KeyExists(HKEY hive, const std::wstring& path);
void DeleteKey(HKEY hive, const std::wstring& path);  // with its subkeys

struct Process {
  UniqueHandle handle;
  DWORD id = 0;
};
// Starts `command_line` in `folder`; a failed start fails the test.
Process Start(const std::wstring& command_line, const std::wstring& folder = L"C:\\work");
// Runs it to its end (ended after `timeout_ms`); its exit code, or ~0u.
DWORD RunToEnd(const std::wstring& command_line, DWORD timeout_ms = 30000,
               const std::wstring& folder = L"C:\\work");
std::vector<std::wstring> SplitCommandLine(const std::wstring& command_line);

enum class Answer { kOk, kCancel, kCloseButton, kNone };
struct Box {
  bool found = false;
  std::wstring text;
  UniqueHandle process;  // the process that showed it, to wait for
};
// Waits for a dialog box captioned `caption`, reads it and answers it.
Box AnswerBox(const std::wstring& caption, Answer answer, DWORD timeout_ms = 60000);

struct Request {
  int port = 0;
  std::string method, path, version, headers, body;
};
// The requests the collectors recorded whose body holds `marker`.
std::vector<Request> Requests(const std::string& marker);
int Port(const wchar_t* variable);  // COLLECTOR_PORT and the like
std::string UniqueMarker();

}  // namespace test
