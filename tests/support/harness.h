#pragma once
// What the tests need of the real (Wine) system: the test prefix's files,
// links made by the harness, registry keys, processes, message boxes and the
// loopback collector's records.

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/unique_resource.h"

namespace test {

std::wstring ProgramFolder();  // where the running test program lies, with "\"
std::wstring FreshFolder();    // C:\work\tests\<suite>.<test>\, emptied
// Lays out `layout` below `base`: space-separated paths, "x/" a folder,
// "x!" a read-only file, "x>y" a link to the folder or file y.
void LayOut(const std::wstring& base, const std::wstring& layout);
void Write(const std::wstring& path, const std::string& bytes = "x");  // makes its folders
void MakeFolders(const std::wstring& path);
std::string Read(const std::wstring& path);  // "" when unreadable
bool Exists(const std::wstring& path);
// Through the harness's service, on the Unix side, inside the prefix only:
// a tree removed without following links; `folder` renamed to
// <folder>.moved and a link to `target` put in its place; a drive mapped;
// a link made (and its folders).
void RemoveTree(const std::wstring& path);
bool Swap(const std::wstring& folder, const std::wstring& target);
// "" maps the drive to an empty folder of its own, which no other drive
// reaches: Wine tells a folder reached through two drives as on two volumes.
// `remote` (with "" only): the system calls it a network drive.
bool MapDrive(wchar_t letter, const std::wstring& target = L"", bool remote = false);
bool Link(const std::wstring& link, const std::wstring& target);
// The next connection to COLLECTOR_STALL_PORT never gets its TLS handshake.
bool StallNextConnection();
// A real shortcut to `target`, saved through the shell's link object.
void MakeShortcut(const std::wstring& path, const std::wstring& target);
std::wstring Env(const wchar_t* name);
void SetEnv(const std::map<std::wstring, std::wstring>& variables);  // "" unsets

using Values = std::map<std::wstring, std::wstring>;  // "" names the default value
void WriteKey(HKEY hive, const std::wstring& path, const Values& values);
Values ReadKey(HKEY hive, const std::wstring& path);  // missing key: empty
bool KeyExists(HKEY hive, const std::wstring& path);
// When the key was last written, then every value with its type and bytes,
// as "name=type:hex" lines.
std::wstring RawKey(HKEY hive, const std::wstring& path);
void WriteRawValue(HKEY hive, const std::wstring& path, const std::wstring& name, DWORD type, const std::string& bytes);
void DeleteKey(HKEY hive, const std::wstring& path);

struct Process {
  UniqueHandle handle;
  DWORD id = 0;
  DWORD Wait(DWORD timeout_ms = 30000) const;  // the exit code, ~0u while running
};
// `output` (inheritable), when given, is the program's standard output and
// error; nothing else is inherited.
Process Start(const std::wstring& command_line, const std::wstring& folder = L"C:\\work",
              HANDLE output = nullptr);

enum class Answer { kOk, kCancel, kCloseButton, kNone };  // kNone: no box comes
struct Box {
  bool found = false;
  std::wstring text;
  UniqueHandle process;  // the process that showed it
};
// Waits for a box captioned `caption`, reads its text, calls `meanwhile`
// while it is up, then answers it.
Box AnswerBox(const std::wstring& caption, Answer answer, DWORD timeout_ms = 60000,
              const std::function<void()>& meanwhile = nullptr);

struct Request {
  std::string method, path, version, headers, body;  // the body's first 64 KiB
  size_t length = 0;
  bool released = false;  // the silent collector's note that the client let go of it
};
// Recorded, body holding marker, in the order received; with `releases`,
// the silent collector's notes among them.
std::vector<Request> Requests(const std::string& marker, bool releases = false);
std::string UniqueMarker();

}  // namespace test
