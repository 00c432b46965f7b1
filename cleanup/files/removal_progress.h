#pragma once
// How far the run's removals have come. The tree walk tells it as it goes,
// at the cost of a counter per entry; a window reads it from another thread.

#include <string>

struct RemovalProgress {
  unsigned long removed = 0;  // entries deleted so far, over the whole run
  unsigned long done = 0;     // entries dealt with so far: deleted or left
  unsigned long goal = 0;     // `done` once the current walk has ended; 0 while not known
  std::wstring folder;        // the folder being emptied, below the tree being removed
};

// A copy of the progress so far; the folder only while watched.
RemovalProgress ReadRemovalProgress();

// Has the walk keep the name of the folder it works in (a little work per
// folder), or stop doing so.
void WatchRemovalProgress(bool watch);

// What the walk tells. A walk starts with its size unknown, learns it once
// it has listed its tree (`entries` it will deal with), then deals with
// them one by one.
void NoteWalkStarted();
void NoteWalkSize(unsigned long entries);
void NoteEntryDone(bool removed);
// Whether a folder name is wanted at all; then `name`, below the tree's root.
bool FolderNamesWatched();
void NoteFolder(const std::wstring& name);
