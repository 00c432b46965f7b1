#pragma once
// Helpers for tests that run against the real (Wine) system: folders and
// files inside the test prefix, real processes, links made by the harness.

#include <windows.h>

#include <string>
#include <vector>

namespace oldtest {

// The folder of the running test program (C:\bin\), with a trailing backslash.
std::wstring ProgramFolder();

// A fresh, empty folder for the current test, below C:\work, with a trailing
// backslash. Named after the test; emptied if it exists.
std::wstring FreshTestFolder();

// Creates every missing folder of `path`.
void MakeFolders(const std::wstring& path);

// Writes `bytes` to `path`, creating the folders above it.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);

// The whole file, or "" when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);

bool PathExists(const std::wstring& path);

// Attributes of `path` as listed by its parent's directory listing
// (INVALID_FILE_ATTRIBUTES when absent).
DWORD ListedAttributes(const std::wstring& path);

// Removes a test tree; never follows links.
void RemoveTestTree(const std::wstring& path);

// A Unix symlink at `link` to the folder `target`, made by the harness; Wine
// shows it as a folder reparse point. Both must lie inside the prefix.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);

// Maps drive `letter` to `target` (a folder inside the prefix) for the rest
// of the run.
bool MapDrive(wchar_t letter, const std::wstring& target);

// The value of an environment variable, "" when unset.
std::wstring Env(const wchar_t* name);

struct ProcessRun {
  bool started = false;
  bool finished = false;  // false when it was still running at the time-out
  DWORD exit_code = 0;
  DWORD process_id = 0;
};

// Starts `command_line` (program path quoted by the caller as needed) with
// `working_folder` (C:\work when empty) and waits up to `timeout_ms`. A
// process still running then is ended.
ProcessRun RunProcess(const std::wstring& command_line, DWORD timeout_ms,
                      const std::wstring& working_folder = L"");

// Starts `command_line` without waiting; the caller owns the handles.
PROCESS_INFORMATION StartProcess(const std::wstring& command_line,
                                 const std::wstring& working_folder = L"");

}  // namespace oldtest
