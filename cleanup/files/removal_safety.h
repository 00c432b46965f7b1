#pragma once
// Rules that stand between a name or folder handed to the uninstaller (from
// the command line or from a descriptor ordinary users can often write to)
// and a removal that runs with administrator rights.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

// True when `name` can be used as one path component and names nothing but
// itself: non-empty, not "." or "..", no "\", "/" or ":", no wildcard
// (* ? < > " |), no control character, and no trailing dot or space (which
// the system would strip, turning "x " into "x" and " " into nothing).
bool IsPlainName(const std::wstring& name);

// True when `name` can name one registry key below a fixed parent: non-empty,
// not "." or "..", no "\", "/", '"' or control character.
bool IsPlainKeyName(const std::wstring& name);

// True when the absolute, resolved path `path` (a drive letter or share path
// without trailing separator, as a handle's final path gives it) may be
// removed as a whole tree: at least one level below its drive or share root;
// not inside the Windows folder, nor in or at a drive-level system folder
// ($Recycle.Bin, System Volume Information, Recovery, Config.Msi,
// Windows.old and the like); and neither one of the protected folders nor an
// ancestor of one. The protected folders are the system's known folders
// (Windows, system, Program Files, ProgramData, the temporary folder,
// Desktop, Documents, Downloads, Music, Pictures, Videos, Saved Games, Start
// menu, Startup, Templates, SendTo, Recent, the Public folders, application
// data, the platform's data folder, ...) and every user profile of the
// machine with its standard subfolders, each both as named and as resolved.
bool IsRemovableLocation(const std::wstring& path);

// Where the open entry `handle` really is, links on the way followed:
// "C:\Games\X" or "\\server\share\X"; "" when the system cannot tell.
std::wstring FinalPathOf(HANDLE handle);

// The absolute form of `path` with separators, "." and ".." resolved, long
// names where it exists, and no trailing separator (a drive root keeps its
// "\"); "" for a relative path or one holding a wildcard, stream or device
// form.
std::wstring AbsolutePath(const std::wstring& path);

// `path` in the "\\?\" form, which has no length limit.
std::wstring ExtendedPath(const std::wstring& absolute_path);

// `path` as the system's native calls name it ("\??\C:\x", "\??\UNC\server\share\x").
std::wstring NtPath(const std::wstring& absolute_path);

// Whether `path` is `folder` or lies inside it (both absolute, compared
// case-insensitively, trailing separators ignored).
bool IsSameOrInside(const std::wstring& path, const std::wstring& folder);

// The existing folder at the absolute `path`, links followed as any path
// is, opened to list it and sharing everything, without waiting on another
// program's oplock; its entries are then reached only through it. Invalid
// for a relative path, for what is not a folder, and on failure.
UniqueFileHandle OpenFolderToList(const std::wstring& path);

// The folder that holds the entry named by the absolute `path`, opened as
// OpenFolderToList does; `name` receives the entry's name in it. Invalid for
// a path without a parent.
UniqueFileHandle OpenParentFolder(const std::wstring& path, std::wstring& name);

// The folder that really holds the open entry `file` (links followed),
// opened to list, sharing everything, and checked to hold that very entry
// under the name put in `name` (a file whose name the system gives stale is
// looked for among the folder's files); `path` receives where the folder is
// ("C:\Games\X"). Invalid when it cannot be told.
UniqueFileHandle OpenHoldingFolder(HANDLE file, std::wstring& name, std::wstring& path);
