#pragma once
// The window that shows a long removal (the game being ended, then its files
// removed). It appears only once the work has lasted a second, says what is
// happening, and is gone before the last box. It runs on a thread of its
// own, so that it answers the system whatever the work does, and the user
// cannot close it midway. Where no window can be made (no desktop, a
// service's session) the run goes on without it.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

class ProgressWindow {
 public:
  // How long the work goes on before the window appears, and how often the
  // window shows the progress again.
  static constexpr DWORD kAppearAfterMs = 1000;
  static constexpr UINT kRefreshMs = 200;

  ProgressWindow() = default;
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;
  ~ProgressWindow() { Close(); }

  // Starts the clock: a second from now the window appears, captioned
  // `caption` with the icon `icon_id` of the program's resources, saying
  // "Closing <game>…". `mark`, a window property name ("" for none), marks
  // it for a second start. Nothing when it is already open.
  void Open(const std::wstring& caption, const std::wstring& game, const std::wstring& mark,
            int icon_id);
  // From now on it says "Removing <game>…", with the removal's progress.
  void ShowRemoving();
  // Takes the window away, or keeps it from appearing: gone when this
  // returns (unless its thread does not end within 10 s).
  void Close();

  struct Shared;  // between this object and the window's thread

 private:
  Shared* shared_ = nullptr;
  UniqueHandle thread_;
};
