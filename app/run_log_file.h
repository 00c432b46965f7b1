#pragma once
// The file /log=<file> names. The log is a file the uninstaller owns: the
// first process opens it once, walking down from its drive's root through
// handles, and hands the open file to the copy it starts, which never opens
// it by name. A log where the removal deletes would keep the removal from
// finishing, and is refused.

#include <windows.h>

#include <string>

// Opens `path` (a relative one against the working folder) to append to,
// created when missing, and makes it the run's log, whose first line says
// how the run was started. `installation` is the open installation folder
// (null when it cannot be told). Not used, and the run goes on without a
// log: a link or junction on the way from the drive's root, a folder that is
// not where it is named, a folder, link, device or file of several names in
// its place, a log in the installation folder, in the game root above it,
// in the game's shared cache or Start-menu folder, or in place of its desktop
// shortcut (by the descriptor in `installation`). Why it is not used is the
// run's first line on the debugger output channel: a log refused cannot
// carry it.
void StartRunLog(const std::wstring& path, HANDLE installation);

// The removal stage's log: `handed_over`, the file the first process opened
// and the copy inherited, when there is one. Only a removal started directly
// (`relocated` false) opens `path` itself, as StartRunLog does, judged
// against the folder `install_dir` names.
void StartRemovalLog(HANDLE handed_over, bool relocated, const std::wstring& path,
                     const std::wstring& install_dir);
