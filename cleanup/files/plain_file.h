#pragma once
// Files the elevated program reads that ordinary users may be able to
// replace: read only when they are plain files, never through a link, a pipe
// or a device, with a bounded size and without waiting on anyone.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

// Opens `relative` (components separated by "\") below the open folder
// `folder` to read it, each component opened from the one before and checked
// to be itself: a link on the way, or what the system opened through one,
// ends it. The last component must be a plain file on a disk. Invalid
// otherwise.
UniqueFileHandle OpenPlainFile(HANDLE folder, const std::wstring& relative);

// The same for a path: its folder is opened as named (links followed, as
// any path is), the file itself as above. Invalid for a relative path.
UniqueFileHandle OpenPlainFileAt(const std::wstring& path);

// Whether the open entry is a file of a disk: not a folder, link, pipe or
// device.
bool IsPlainFileHandle(HANDLE file);

// Reads the open file from its start into `bytes`, at most `limit` bytes.
// False when it cannot be read.
bool ReadPlainFile(HANDLE file, size_t limit, std::string& bytes);
