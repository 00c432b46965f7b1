#pragma once
// The run's own log, for unattended runs: /log=<file> appends time-stamped
// lines to it. Without a log nothing is written, and the uninstall never
// depends on the log.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

// Makes the open file `file` (opened to append) the run's log.
void SetRunLog(UniqueFileHandle file);

// The open log, to hand on to another process; null when there is none.
HANDLE RunLogHandle();

// Appends "<local date and time> [<process id>] <text>" as one UTF-8 line,
// printf-style (%s takes a wide string), when a log is open. The text is
// written escaped (EscapedForLog): whatever the arguments hold, every line
// of the log is one the program wrote.
void LogLine(const wchar_t* format, ...);

// `text` with every control character (C0 and C1, DEL, the line and
// paragraph separators, the bidirectional overrides) written as <U+XXXX>.
std::wstring EscapedForLog(const std::wstring& text);
