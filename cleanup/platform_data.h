#pragma once
// The per-user data folder of the client platform: "\Brimlake\app\" below the
// local application data folder (or the fallbacks, below).

#include <string>

// The platform data folder, ending in "\": the local application data folder
// if the system names one, else the common one, else the roaming one (even
// if empty), plus "\Brimlake\app\". Composed afresh on every call; touches
// nothing on disk.
std::wstring ComposePlatformDataPath();

// Writes the platform data folder to `out`. The first call composes it,
// creates it when missing (ignoring failure) and keeps it; later calls give
// the kept text without consulting the shell or the disk.
void PlatformDataDirectory(std::wstring& out);
