#pragma once
// The tree walk and tree removal of the file-system layer.
//
// The walk is breadth first: every folder below a root, level by level,
// siblings in listing order. Every folder is listed through its open handle
// and every entry opened relative to its parent's handle, so no path below
// the root is ever resolved again. A link (junction, symbolic link, mount
// point) is never entered, so nothing behind it is listed or touched. Paths
// in the lists are formed as root + "\" + relative path, as the root was
// given. Nothing here changes attributes, retries or defers a delete to the
// next restart.

#include <functional>
#include <string>
#include <vector>

#include "cleanup/files/folder_for_removal.h"

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
// was none, or when `root` is not a folder to empty.
bool DeleteAllFiles(const FolderForRemoval& root);

// Removes every folder below `root`, deepest first (the reverse of walk
// order); links are removed as links where the system allows it. A folder
// that still holds something stays. Returns true when there was no
// subfolder, otherwise the result for the first folder found; false when
// `root` is not a folder to empty.
bool RemoveAllSubdirectories(const FolderForRemoval& root);

// Removes everything below `root` but `keep` (paths below it, which keep
// their folders too): the whole tree listed first, then all files, then all
// folders, deepest first; every folder stays open, without delete sharing,
// until its own turn. Tells the run's progress (removal_progress.h) the
// walk's size once listed and each entry as it goes. True when nothing else
// stays; false too when `root` is not a folder to empty, and when memory ran
// out (what was not reached stays).
bool EmptyFolder(const FolderForRemoval& root, const std::vector<std::wstring>& keep);

// Removes `root` with everything below it: EmptyFolder, then `root` itself.
// A root that is a link is only removed as a link. True when it is gone.
bool RemoveFolderTree(FolderForRemoval root);

// RemoveFolderTree for callers that ask DirectoryExists for the outcome.
void RemoveDirectoryTree(FolderForRemoval root);

// The steps a removal reports to the tests' observer.
enum class RemovalStep {
  kListed,   // a folder was listed
  kRemoved,  // an entry was deleted
  kLeft,     // an entry stays: it could not be deleted, or is not the removal's to delete
};

// Tells the tests' observer of a step taken outside a tree removal (a
// shortcut deleted); nothing in the release build.
void ReportRemovalStep(const std::wstring& path, RemovalStep step);

#if defined(UNINSTALL_TEST_BUILD)
// Called with each step of a removal in its order, the path as the root's
// real place plus the path below it. Tests only; pass nullptr to stop.
using RemovalObserver = std::function<void(const std::wstring& path, RemovalStep step)>;
void SetRemovalObserverForTesting(RemovalObserver observer);
#endif
