#pragma once
// Entries reached through open folder handles, on the system's native file
// calls: once a folder is open, nothing below it is found again by a path
// string, so a folder renamed or replaced by a link cannot redirect what is
// opened or deleted. No open waits for another program: an entry under an
// oplock that would first have to be broken counts as in use.
//
// Wine opens the target of a link whatever the flags say, and deleting
// through such a handle deletes the target. So an entry counts as itself only
// when its handle's own name is its parent's name plus its listed name; a
// handle that names another place is never deleted through.

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

struct FolderEntry {
  std::wstring name;
  bool folder = false;  // as the listing shows it
};

enum class EntryKind { kFile, kFolder };

// Replaces `entries` with the entries of the open folder `folder` but "." and
// "..", in the order the file system yields them. False when the folder
// cannot be listed.
bool ListFolderEntries(HANDLE folder, std::vector<FolderEntry>& entries);

// The same, read through `folder` itself: for a folder held so that nobody,
// this process included, may open it again.
bool ListHeldFolderEntries(HANDLE folder, std::vector<FolderEntry>& entries);

// The same for at most `most` entries whose names match `pattern` (the
// system's wildcards, "x_*"): what a look that must stay bounded sees.
bool ListSomeFolderEntries(HANDLE folder, const std::wstring& pattern, size_t most,
                           std::vector<FolderEntry>& entries);

// Opens the entry `name` of the open folder `parent` for deletion, and a
// folder for listing too, without following a link at `name` where the
// system allows it. A folder is opened without delete sharing, so that on
// Windows nobody can rename or replace it while it is held. Invalid on
// failure, and when `kind` does not match what is there.
UniqueFileHandle OpenChild(HANDLE parent, const std::wstring& name, EntryKind kind);

// Creates the entry `name` of the open folder `parent`, never opening one
// that exists, with `security` (may be null) and opened with `access` and
// `share`; a file is opened for synchronous writing. Invalid on failure.
UniqueFileHandle CreateChild(HANDLE parent, const std::wstring& name, EntryKind kind,
                             ACCESS_MASK access, ULONG share, PSECURITY_DESCRIPTOR security);

// Opens the entry at `relative` (one or more components) below the open
// folder `parent` only to look at it, links followed; invalid when absent.
UniqueFileHandle OpenChildToLook(HANDLE parent, const std::wstring& relative);

// The system's name of an open entry, as "\Device\HarddiskVolume2\Games\X"
// (Wine: "\??\C:\Games\X"), where it really is; "" when the system cannot
// tell. Only for comparing with other names from here.
std::wstring EntryName(HANDLE entry);

// The attributes of an open entry; INVALID_FILE_ATTRIBUTES on failure.
DWORD EntryAttributes(HANDLE entry);

// Whether `entry_name` is `parent_name` followed by the component `name`
// (case-insensitive): the handle is the entry itself, not a place it leads to.
bool IsChildName(const std::wstring& entry_name, const std::wstring& parent_name,
                 const std::wstring& name);

// Whether the open entry `entry`, opened as `name` below the folder whose
// EntryName is `parent_name`, is that entry itself and no link (nor what the
// system opened through one).
bool IsEntryItself(HANDLE entry, const std::wstring& parent_name, const std::wstring& name);

// Opens the folders of `relative` ("a\b") below the open folder `base`, each
// from the one before, to read; every one must be itself and no link.
// Invalid when one is missing or is not.
UniqueFileHandle OpenFolderChain(HANDLE base, const std::wstring& relative);

// The folder that holds the last component of `relative` below the open
// folder `base`: `base` itself, or the last folder of the chain above it,
// opened by OpenFolderChain into `chain`. `name` receives the last
// component. Null when the chain cannot be opened.
HANDLE OpenChainAbove(HANDLE base, const std::wstring& relative, UniqueFileHandle& chain,
                      std::wstring& name);

// Opens the file the system names `nt_name` ("\Device\...\x.exe",
// "\??\C:\...\x.exe") to read, sharing reading only. Invalid on failure.
UniqueFileHandle OpenFileByNtName(const std::wstring& nt_name);

// Marks the open entry to be deleted when its last handle closes; a folder
// must be empty by then. True when the system accepted it (false for a
// read-only file, a folder that is not empty, ...).
bool MarkForDeletion(HANDLE entry);

// Opens the entry `name` of the open folder `parent` only to read it (a
// folder to list it), sharing everything, without following a link at
// `name` where the system allows it. Invalid on failure, and when `kind`
// does not match what is there.
UniqueFileHandle OpenChildToRead(HANDLE parent, const std::wstring& name, EntryKind kind);

// Which file an open entry is: its volume and its number on that volume.
struct FileIdentity {
  DWORD volume = 0;
  ULONGLONG index = 0;
  bool known = false;
  bool operator==(const FileIdentity& other) const {
    return known && other.known && volume == other.volume && index == other.index;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The identity of the open entry `entry`; not known on failure.
FileIdentity IdentityOf(HANDLE entry);

// Opens the file `name` of the open folder `parent` to append to it, or
// creates it when missing, without following a link at `name` where the
// system allows it. Invalid on failure.
UniqueFileHandle OpenFileToAppend(HANDLE parent, const std::wstring& name);

// Opens the file `name` of the open folder `parent` to read it and then,
// once judged, to delete it through this same handle; while it is held
// others may only read it. Does not follow a link at `name` where the system
// allows it, nor wait on an oplock. Invalid on failure.
UniqueFileHandle OpenChildToJudge(HANDLE parent, const std::wstring& name);

// Opens the entry `name` of the open folder `parent` for deletion (a folder
// to list too), sharing nothing, so that nobody else can open it to read,
// write or delete it while it is held; does not follow a link at `name`
// where the system allows it. Invalid on failure, and when `kind` does not
// match what is there.
UniqueFileHandle OpenChildExclusively(HANDLE parent, const std::wstring& name, EntryKind kind);

// Opens the entry the system names `nt_name` ("\??\C:\Games\X") with
// `access` and `share`; a link at its last component is followed only when
// `follow_link` (where the system allows it). Invalid on failure.
UniqueFileHandle OpenByNtName(const std::wstring& nt_name, ACCESS_MASK access, ULONG share,
                              bool follow_link);
