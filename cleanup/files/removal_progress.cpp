#include "cleanup/files/removal_progress.h"

#include <windows.h>

#include <atomic>

#include "common/test_seams.h"

namespace {

// Counters are written by the removing thread only and read anywhere; the
// folder name is the one thing that needs a lock.
std::atomic<unsigned long> g_removed{0}, g_done{0}, g_goal{0};
std::atomic<bool> g_watched{false};
SRWLOCK g_folder_lock = SRWLOCK_INIT;

std::wstring& Folder() {
  static std::wstring* folder = new std::wstring;  // never freed: read until the process ends
  return *folder;
}

// Test build only: stretches each entry, so that a small tree takes long
// enough to be watched.
void PauseForTests() {
#if defined(UNINSTALL_TEST_BUILD)
  static const long pause_ms = TestSeamNumber(L"UNINSTALL_TEST_ENTRY_PAUSE_MS", 0);
  if (pause_ms > 0) ::Sleep(static_cast<DWORD>(pause_ms));
#endif
}

}  // namespace

RemovalProgress ReadRemovalProgress() {
  RemovalProgress progress;
  progress.removed = g_removed.load(std::memory_order_relaxed);
  progress.done = g_done.load(std::memory_order_relaxed);
  progress.goal = g_goal.load(std::memory_order_relaxed);
  if (!g_watched.load(std::memory_order_relaxed)) return progress;
  ::AcquireSRWLockShared(&g_folder_lock);
  try {
    progress.folder = Folder();
  } catch (...) {
    // Out of memory: shown without a folder.
  }
  ::ReleaseSRWLockShared(&g_folder_lock);
  return progress;
}

void WatchRemovalProgress(bool watch) { g_watched.store(watch, std::memory_order_relaxed); }

void NoteWalkStarted() { g_goal.store(0, std::memory_order_relaxed); }

void NoteWalkSize(unsigned long entries) {
  g_goal.store(g_done.load(std::memory_order_relaxed) + entries, std::memory_order_relaxed);
}

void NoteEntryDone(bool removed) {
  PauseForTests();
  if (removed) g_removed.fetch_add(1, std::memory_order_relaxed);
  g_done.fetch_add(1, std::memory_order_relaxed);
}

bool FolderNamesWatched() { return g_watched.load(std::memory_order_relaxed); }

void NoteFolder(const std::wstring& name) {
  ::AcquireSRWLockExclusive(&g_folder_lock);
  try {
    Folder() = name;
  } catch (...) {
    // Out of memory: the name shown stays the last one.
  }
  ::ReleaseSRWLockExclusive(&g_folder_lock);
}
