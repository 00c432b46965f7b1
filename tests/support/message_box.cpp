#include "tests/support/message_box.h"

#include <vector>


namespace oldtest {
namespace {

struct Search {
  const std::wstring* caption;
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  wchar_t class_name[64] = {};
  ::GetClassNameW(window, class_name, 64);
  if (std::wstring(class_name) != L"#32770" || !::IsWindowVisible(window)) return TRUE;
  const int length = ::GetWindowTextLengthW(window);
  std::wstring title(static_cast<size_t>(length) + 1, L'\0');
  ::GetWindowTextW(window, &title[0], length + 1);
  title.resize(static_cast<size_t>(length));
  if (title != *search->caption) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindBox(const std::wstring& caption) {
  Search search{&caption, nullptr};
  ::EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The message text: a message box shows it in its static control 0xFFFF.
std::wstring BoxText(HWND box) {
  wchar_t text[4096] = {};
  ::GetDlgItemTextW(box, 0xFFFF, text, 4096);
  return text;
}

void SaveBitmap(HWND box, const std::wstring& path) {
  RECT rect;
  if (!::GetWindowRect(box, &rect)) return;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  ::SelectObject(memory, old);

  BITMAPINFOHEADER info = {};
  info.biSize = sizeof(info);
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
  std::vector<char> pixels(stride * static_cast<DWORD>(height));
  ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);

  BITMAPFILEHEADER file_header = {};
  file_header.bfType = 0x4D42;
  file_header.bfOffBits = sizeof(file_header) + sizeof(info);
  file_header.bfSize = file_header.bfOffBits + static_cast<DWORD>(pixels.size());
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  ::WriteFile(file.get(), &file_header, sizeof(file_header), &written, nullptr);
  ::WriteFile(file.get(), &info, sizeof(info), &written, nullptr);
  ::WriteFile(file.get(), pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
}

}  // namespace

bool BoxIsShown(const std::wstring& caption) { return FindBox(caption) != nullptr; }

AnsweredBox AnswerBox(const std::wstring& caption, BoxAnswer answer, DWORD timeout_ms,
                      const std::wstring& screenshot_bmp) {
  AnsweredBox result;
  const DWORD start = ::GetTickCount();
  HWND box = nullptr;
  while ((box = FindBox(caption)) == nullptr) {
    if (::GetTickCount() - start > timeout_ms) return result;
    ::Sleep(20);
  }
  // Let the box finish painting before it is read and pictured.
  ::Sleep(200);
  result.found = true;
  result.text = BoxText(box);
  ::GetWindowThreadProcessId(box, &result.process_id);
  result.process.reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     result.process_id));
  if (!screenshot_bmp.empty()) SaveBitmap(box, screenshot_bmp);
  switch (answer) {
    case BoxAnswer::kOk:
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
      break;
    case BoxAnswer::kCancel:
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(box, IDCANCEL)));
      break;
    case BoxAnswer::kCloseButton:
      ::PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
  }
  // The next box of the same caption must not be mistaken for this one.
  for (int i = 0; i < 500 && ::IsWindow(box); ++i) ::Sleep(10);
  return result;
}

}  // namespace oldtest
