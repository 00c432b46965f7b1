#pragma once
// Finding and answering the uninstaller's message boxes as a user would.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace oldtest {

enum class BoxAnswer { kOk, kCancel, kCloseButton };

struct AnsweredBox {
  bool found = false;
  std::wstring text;  // the message text as the box shows it
  DWORD process_id = 0;
  // The process that showed the box, opened before it was answered so that
  // the caller can wait for its end.
  UniqueHandle process;
};

// Waits up to `timeout_ms` for a visible dialog box captioned exactly
// `caption`, reads its text, optionally saves a picture of it as a BMP file,
// and answers it.
AnsweredBox AnswerBox(const std::wstring& caption, BoxAnswer answer, DWORD timeout_ms,
                      const std::wstring& screenshot_bmp = L"");

// True when a dialog box captioned `caption` is on screen now.
bool BoxIsShown(const std::wstring& caption);

}  // namespace oldtest
