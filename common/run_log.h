#pragma once
// The run's own log, for unattended runs: /log=<file> appends time-stamped
// lines to it. Without a log nothing is written, and the uninstall never
// depends on the log.

#include <windows.h>

#include "common/unique_resource.h"

// Makes the open file `file` (opened to append) the run's log.
void SetRunLog(UniqueFileHandle file);

// Appends "<local date and time> [<process id>] <text>" as one UTF-8 line,
// printf-style (%s takes a wide string), when a log is open.
void LogLine(const wchar_t* format, ...);
