#pragma once
// The run's own log, for unattended runs: /log=<file> appends time-stamped
// lines to it. Without /log nothing is written, and the uninstall never
// depends on the log.

#include <string>

// Opens `path` to append to (created when missing). A link, folder or
// device in its place is not used, and a file that cannot be opened is
// skipped silently.
void OpenRunLog(const std::wstring& path);

// Appends "<local date and time> <text>" as one UTF-8 line, printf-style
// (%s takes a wide string), when a log is open.
void LogLine(const wchar_t* format, ...);
