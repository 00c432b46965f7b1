// Answers one message box as a user would, for the demonstration:
//   box_answerer CAPTION ok|cancel|close TEXT_FILE [BMP_FILE] [TIMEOUT_MS]
// Appends the box's text (UTF-8, one line) to TEXT_FILE and saves a picture
// of the box to BMP_FILE. Exit code 0 when a box was answered, 1 otherwise.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/text.h"
#include "tests/support/message_box.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring how = argv[2];
  oldtest::BoxAnswer answer = oldtest::BoxAnswer::kOk;
  if (how == L"cancel") answer = oldtest::BoxAnswer::kCancel;
  if (how == L"close") answer = oldtest::BoxAnswer::kCloseButton;
  const std::wstring bmp = argc > 4 ? argv[4] : L"";
  const DWORD timeout = argc > 5 ? static_cast<DWORD>(std::wcstoul(argv[5], nullptr, 10)) : 60000;
  const oldtest::AnsweredBox box = oldtest::AnswerBox(argv[1], answer, timeout, bmp);
  if (!box.found) return 1;
  FILE* file = _wfopen(argv[3], L"ab");
  if (file != nullptr) {
    const std::string line = WideToUtf8(box.text) + "\n";
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
  }
  return 0;
}
