#pragma once
// The per-user data folder of the client platform: "\Brimlake\app\" below the
// local application data folder (or the fallbacks, below).

#include <string>

// Opens, or creates when missing, the folders of `relative` (plain names
// separated by "\") below the existing folder `top`, each relative to the
// one before. A link on the way, a file or a name that is not plain ends it:
// nothing is created behind it. Returns whether every folder of `relative`
// is there as a plain folder.
bool CreatePlainFolders(const std::wstring& top, const std::wstring& relative);

// Writes the platform data folder to `out`. The first call composes it,
// creates it when missing and it lies in the user's profile (walked down
// from the profile by CreatePlainFolders; failure ignored), and keeps it;
// later calls give the kept text without consulting the shell or the disk.
void PlatformDataDirectory(std::wstring& out);
