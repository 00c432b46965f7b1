#pragma once
// The client platform's per-user data folder, where it keeps its version
// files. The uninstaller only reads from it and never removes it.

#include <string>

// Writes the platform data folder (ending in "\Brimlake\app\") to `out`.
// The first call chooses the local application data folder, else the
// all-users one, else the roaming one, creates the folder when missing and
// keeps the path; later calls return the kept path without touching the disk.
void PlatformDataDirectory(std::wstring& out);
