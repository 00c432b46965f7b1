#pragma once
// Path operations of the file-system layer. Paths are wide strings; "/" is
// read as "\" wherever a path is normalised.

#include <string>

// Turns every run of "/" and "\" into a single "\", in place (the leading
// pair of a network path too).
void NormalizeSeparators(std::wstring& path);

// The parent folder of `path` with a trailing "\", or "" when there is none
// (C:\ and bare names have none). C:\Games\X and C:\Games\X\ give C:\Games\.
std::wstring ParentDirectory(const std::wstring& path);

// True when `path` (any number of trailing separators) names an existing
// folder, as its directory listing shows it.
bool DirectoryExists(const std::wstring& path);

// True when `path` names an existing entry that is not a folder.
bool FileExists(const std::wstring& path);

// Creates every folder along `path`, shortest first, ignoring failures.
// Returns whether creating the full path itself succeeded (false when it
// already existed).
bool CreateDirectoryChain(const std::wstring& path);
