#pragma once
// Opening the file that /log=<file> names, elevated: only a plain file, never
// through a link.

#include <string>

// Opens `path` to append to (created when missing) and makes it the run's
// log (common/run_log.h). A link, folder or device in its place is not used,
// and a file that cannot be opened is skipped silently.
void OpenRunLog(const std::wstring& path);
