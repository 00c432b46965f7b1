#pragma once
// Where the shell's folders are, the platform's data folder among them: the
// places the file layer protects and the removal steps build on.

#include <string>

// The shell folder `csidl` of the user the process runs as, as the system
// gives it now; "" when it names none.
std::wstring ShellFolderPath(int csidl);

// The platform data folder, ending in "\": the local application data folder
// if the system names one, else the common one, else the roaming one (even
// if empty), plus "\Brimlake\app\". Composed afresh on every call; touches
// nothing on disk.
std::wstring ComposePlatformDataPath();
