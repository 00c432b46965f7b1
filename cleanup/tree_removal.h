#pragma once
// The tree walk and tree removal of the file-system layer.
//
// The walk is breadth first: every folder below a root, level by level,
// siblings in listing order. A folder entry that is a reparse point
// (junction, symbolic link, mount point) is never entered, so nothing behind
// it is listed or touched. Paths in the lists are formed as parent + "\" +
// name, as the root was given; the platform calls themselves use the "\\?\"
// form, so paths of 260 characters and more are handled too. Nothing here
// changes attributes, retries or defers a delete to the next restart.

#include <functional>
#include <string>
#include <vector>

using PathList = std::vector<std::wstring>;

// Appends every folder below `root` whose name matches `pattern` to `out`,
// breadth first, each folder before its descendants; links are left out. A
// folder that cannot be listed ends the walk, keeping what was found.
// Returns whether `out` is non-empty.
bool CollectSubdirectories(const std::wstring& root, PathList& out, const std::wstring& pattern);

// Replaces `out` with the entries of `folder` matching `pattern` that are
// not folders. Returns whether any were found (false too when `folder`
// cannot be listed).
bool ListFiles(const std::wstring& folder, PathList& out, const std::wstring& pattern);

// Replaces `out` with the files of every folder below `root` (folders chosen
// by `folder_pattern`), in walk order, followed by the files directly in
// `root`; files chosen by `file_pattern`. Returns whether `out` is non-empty.
bool CollectFilesRecursive(const std::wstring& root, PathList& out,
                           const std::wstring& folder_pattern, const std::wstring& file_pattern);

// Deletes every file of the tree in CollectFilesRecursive's order, going on
// after failures. Returns the result of the last delete; false when there
// was none, or when `root` is refused (see RemoveDirectoryTree).
bool DeleteAllFiles(const std::wstring& root);

// Removes every folder below `root`, deepest first (the reverse of walk
// order); links are removed as links. A folder that still holds something
// stays. Returns true when there was no subfolder, otherwise the result of
// the last removal (the first folder found); false when `root` is refused.
bool RemoveAllSubdirectories(const std::wstring& root);

// Removes `root` with everything below it: all files, then all folders, then
// `root` itself. Refuses (does nothing) a root that IsSafeRemovalTarget
// refuses. A root that is itself a reparse point is not emptied; only the
// link is removed where the system allows it. Callers that need the outcome
// ask DirectoryExists.
void RemoveDirectoryTree(const std::wstring& root);

// Deletes one file permanently and silently through the shell. Does nothing
// for a folder, a missing entry, a relative path or a path with wildcards.
void ShellDeleteFile(const std::wstring& path);

#if defined(UNINSTALL_TEST_BUILD)
// Called with every path the removal tries to delete and the result, in the
// order of the attempts. Tests only; pass nullptr to stop.
using RemovalObserver = std::function<void(const std::wstring& path, bool removed)>;
void SetRemovalObserverForTesting(RemovalObserver observer);
#endif
