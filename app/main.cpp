// Process entry: loads the window strings, registers the hidden window's
// class, initialises COM and hands over to the uninstall driver. Every run
// ends as soon as the driver returns false; the resident branch below is kept
// for a driver that asks to stay.

#include <windows.h>
#include <objbase.h>

#include "app/resource_ids.h"
#include "app/uninstall_flow.h"
#include "common/system_library.h"

namespace {

constexpr int kMaxLoadString = 100;
constexpr UINT kPrivateQuitMessage = WM_USER + 100;

wchar_t g_title[kMaxLoadString];
wchar_t g_window_class[kMaxLoadString];
HINSTANCE g_instance = nullptr;
HWND g_hidden_window = nullptr;

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(dialog, LOWORD(wparam));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDM_ABOUT:
          ::DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), window, AboutProc, 0);
          return 0;
        case IDM_EXIT:
          ::DestroyWindow(window);
          return 0;
      }
      return ::DefWindowProcW(window, message, wparam, lparam);
    case WM_PAINT: {
      PAINTSTRUCT paint;
      ::BeginPaint(window, &paint);
      ::EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case kPrivateQuitMessage:
      ::PostMessageW(g_hidden_window, WM_QUIT, 0, 0);
      return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

void RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
  window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  window_class.lpszMenuName = MAKEINTRESOURCEW(IDC_BRIMHELPER);
  window_class.lpszClassName = g_window_class;
  window_class.hIconSm = window_class.hIcon;
  (void)::RegisterClassExW(&window_class);
}

// The hidden window and its message loop; returns the process exit code.
int RunResident(HINSTANCE instance) {
  g_hidden_window = ::CreateWindowExW(0, g_window_class, g_title, WS_OVERLAPPEDWINDOW,
                                      CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr,
                                      instance, nullptr);
  if (g_hidden_window == nullptr) return 0;
  ::ShowWindow(g_hidden_window, SW_HIDE);
  ::UpdateWindow(g_hidden_window);

  const HACCEL accelerators = ::LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_BRIMHELPER));
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0)) {
    if (!::TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  ::CoUninitialize();
  return 1;
}

}  // namespace

// The application object: the entry performs the same steps itself and never
// calls it.
class BrimHelperApp {
 public:
  virtual bool OnStart() {
    (void)::CoInitialize(nullptr);
    int exit_code = 0;
    return UninstallFlow(exit_code);
  }
  virtual int OnExit() {
    ::CoUninitialize();
    return 0;
  }
};

BrimHelperApp g_app;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int /*show*/) {
  RestrictDllSearchToSystem();
  EnforceRedirectionTrust();
  ::LoadStringW(instance, IDS_APP_TITLE, g_title, kMaxLoadString);
  ::LoadStringW(instance, IDC_BRIMHELPER, g_window_class, kMaxLoadString);
  RegisterWindowClass(instance);
  g_instance = instance;
  (void)::CoInitialize(nullptr);
  int exit_code = 0;
  // Ended here rather than by returning: a report given up at its deadline
  // may still run on its thread, and must not find the program's static
  // objects going away under it.
  if (!UninstallFlow(exit_code)) ::ExitProcess(static_cast<UINT>(exit_code));
  return RunResident(instance);
}
