#include "app/ui/progress_window.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "app/ui/window_mark.h"
#include "cleanup/files/removal_progress.h"
#include "common/system_library.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace {

constexpr wchar_t kClassName[] = L"g_uninstall_progress";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kCloseWaitMs = 10000;
constexpr int kStatusId = 100, kCountId = 101, kFolderId = 102, kBarId = 103;
constexpr int kBarRange = 1000;
constexpr UINT_PTR kRefreshTimer = 1;
// A moving bar repaints at each step, which under load is the window's main
// cost: 10 steps a second still reads as moving.
constexpr LPARAM kMarqueeStepMs = 100;
enum Phase { kClosing, kRemoving };

}  // namespace

struct ProgressWindow::Shared {
  std::wstring caption, game, mark;
  int icon_id = 0;
  std::atomic<int> phase{kClosing};
  UniqueHandle stop;  // set when the window is to go
  LONG references = 2;  // the owner and the window's thread; the last frees it

  void Release() {
    if (::InterlockedDecrement(&references) == 0) delete this;
  }
};

namespace {

struct FontTraits {
  using Type = HFONT;
  static Type Invalid() { return nullptr; }
  static void Close(Type font) { ::DeleteObject(font); }
};
using UniqueFont = UniqueResource<FontTraits>;

// The scaling calls of recent systems (Windows 10), looked up rather than
// imported so that older systems still start the program.
struct DpiCalls {
  UINT(WINAPI* dpi_for_window)(HWND) = nullptr;
  BOOL(WINAPI* parameters_for_dpi)(UINT, UINT, PVOID, UINT, UINT) = nullptr;
  BOOL(WINAPI* adjust_for_dpi)(LPRECT, DWORD, BOOL, DWORD, UINT) = nullptr;

  DpiCalls() {
    Find("GetDpiForWindow", dpi_for_window);
    Find("SystemParametersInfoForDpi", parameters_for_dpi);
    Find("AdjustWindowRectExForDpi", adjust_for_dpi);
  }
  template <typename F>
  static void Find(const char* name, F& call) {
    call = GetLoadedFunction<F>(L"user32.dll", name);
  }
};

const DpiCalls& Dpi() {
  static const DpiCalls calls;
  return calls;
}

int Scale(int value, UINT dpi) { return ::MulDiv(value, static_cast<int>(dpi), 96); }

// The scale of the whole system, for systems that have no other.
UINT SystemDpi() {
  const HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The scale of the display `window` is on.
UINT DpiOf(HWND window) {
  const UINT dpi = Dpi().dpi_for_window ? Dpi().dpi_for_window(window) : 0;
  return dpi > 0 ? dpi : SystemDpi();
}

// The system's message font at `dpi`; empty when it cannot be had.
UniqueFont MessageFont(UINT dpi) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  if (Dpi().parameters_for_dpi &&
      Dpi().parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi))
    return UniqueFont(::CreateFontIndirectW(&metrics.lfMessageFont));
  if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return UniqueFont();
  // Given at the system's scale: brought to this display's.
  metrics.lfMessageFont.lfHeight =
      ::MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
  return UniqueFont(::CreateFontIndirectW(&metrics.lfMessageFont));
}

// The window itself, on its thread's stack: made, shown, refreshed and
// destroyed there.
class ProgressUi {
 public:
  explicit ProgressUi(ProgressWindow::Shared& shared) : shared_(shared) {}
  ProgressUi(const ProgressUi&) = delete;
  ProgressUi& operator=(const ProgressUi&) = delete;
  ~ProgressUi() {
    if (window_ != nullptr) ::DestroyWindow(window_);
  }

  // Makes and shows the window; false when the system will not.
  bool Create();

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  HWND Control(int id) const { return ::GetDlgItem(window_, id); }
  void AddControl(const wchar_t* window_class, DWORD style, int id);
  // Sizes everything for `dpi`; placed at `suggested` (a new display's) or
  // in the middle of the display it is on.
  void Layout(UINT dpi, const RECT* suggested);
  void Refresh();
  void SetText(int id, std::wstring& shown, const std::wstring& text);
  void SetBar(bool marquee, int position);

  ProgressWindow::Shared& shared_;
  UniqueLibrary controls_;  // comctl32, for the bar
  UniqueFont font_;
  HWND window_ = nullptr;
  std::wstring status_, count_, folder_;  // as shown
  bool marquee_ = false;
  int position_ = -1;
};

bool ProgressUi::Create() {
  // By its bare name, so that the system takes the version the manifest
  // asks for, from the system's own store.
  controls_ = LoadSystemLibrary(L"comctl32.dll");
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init = GetLibraryFunction<InitFn>(controls_, "InitCommonControlsEx");
  const INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
  if (init != nullptr) (void)init(&classes);

  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.style = CS_NOCLOSE;  // its close button does nothing
  window_class.lpfnWndProc = Procedure;
  window_class.hInstance = instance;
  window_class.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(shared_.icon_id));
  window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  window_class.lpszClassName = kClassName;
  window_class.hIconSm = window_class.hIcon;
  (void)::RegisterClassExW(&window_class);  // there already from an earlier window: the same

  // Made first where the user works, to learn that display's scale.
  POINT cursor = {};
  (void)::GetCursorPos(&cursor);
  window_ = ::CreateWindowExW(0, kClassName, shared_.caption.c_str(), kStyle, cursor.x, cursor.y, 1, 1,
                              nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;
  // Shown as plain text: no "&" is a mnemonic; long names are cut to fit.
  AddControl(L"STATIC", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kStatusId);
  AddControl(L"STATIC", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kCountId);
  AddControl(L"STATIC", SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, kFolderId);
  AddControl(PROGRESS_CLASSW, 0, kBarId);
  (void)::SendMessageW(Control(kBarId), PBM_SETRANGE32, 0, kBarRange);
  MarkWindow(window_, shared_.mark);
  Layout(DpiOf(window_), nullptr);
  Refresh();
  (void)::SetTimer(window_, kRefreshTimer, ProgressWindow::kRefreshMs, nullptr);
  // A process started hidden has its first window shown hidden, once.
  ::ShowWindow(window_, SW_SHOWNORMAL);
  if (!::IsWindowVisible(window_)) ::ShowWindow(window_, SW_SHOWNORMAL);
  ::UpdateWindow(window_);
  return true;
}

void ProgressUi::AddControl(const wchar_t* window_class, DWORD style, int id) {
  (void)::CreateWindowExW(0, window_class, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window_,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr),
                          nullptr);
}

void ProgressUi::Layout(UINT dpi, const RECT* suggested) {
  UniqueFont font = MessageFont(dpi);
  const HFONT shown = font ? font.get() : static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  int line = Scale(16, dpi);
  if (const HDC dc = ::GetDC(window_)) {
    const HGDIOBJ before = ::SelectObject(dc, shown);
    TEXTMETRICW metrics = {};
    if (::GetTextMetricsW(dc, &metrics)) line = metrics.tmHeight;
    ::SelectObject(dc, before);
    ::ReleaseDC(window_, dc);
  }
  const int margin = Scale(11, dpi), gap = Scale(4, dpi), width = Scale(380, dpi);
  int y = margin;
  for (const int id : {kStatusId, kCountId, kFolderId}) {
    ::MoveWindow(Control(id), margin, y, width - 2 * margin, line, FALSE);
    (void)::SendMessageW(Control(id), WM_SETFONT, reinterpret_cast<WPARAM>(shown), FALSE);
    y += line + gap;
  }
  y += Scale(6, dpi);
  const int bar = Scale(15, dpi);
  ::MoveWindow(Control(kBarId), margin, y, width - 2 * margin, bar, FALSE);
  y += bar + margin;

  RECT frame = {0, 0, width, y};
  if (!Dpi().adjust_for_dpi || !Dpi().adjust_for_dpi(&frame, kStyle, FALSE, 0, dpi))
    (void)::AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  const int frame_width = frame.right - frame.left, frame_height = frame.bottom - frame.top;
  POINT at = {suggested ? suggested->left : 0, suggested ? suggested->top : 0};
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  if (!suggested && ::GetMonitorInfoW(::MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor)) {
    const RECT& work = monitor.rcWork;
    at = {work.left + std::max(0L, (work.right - work.left - frame_width) / 2),
          work.top + std::max(0L, (work.bottom - work.top - frame_height) / 2)};
  }
  ::SetWindowPos(window_, nullptr, at.x, at.y, frame_width, frame_height, SWP_NOZORDER | SWP_NOACTIVATE);
  font_ = std::move(font);  // the controls no longer use the one before
  ::InvalidateRect(window_, nullptr, TRUE);
}

void ProgressUi::Refresh() {
  // Built by joining, never as a format: a name is shown as it is.
  const bool removing = shared_.phase.load() == kRemoving;
  SetText(kStatusId, status_, (removing ? L"Removing " : L"Closing ") + shared_.game + L"\u2026");
  if (!removing) {
    SetBar(true, 0);
    return;
  }
  const RemovalProgress progress = ReadRemovalProgress();
  SetText(kCountId, count_,
          std::to_wstring(progress.removed) + (progress.removed == 1 ? L" entry removed" : L" entries removed"));
  SetText(kFolderId, folder_, progress.folder);
  if (progress.goal == 0) return SetBar(true, 0);
  const unsigned long long done = std::min(progress.done, progress.goal);
  SetBar(false, static_cast<int>(done * kBarRange / progress.goal));
}

void ProgressUi::SetText(int id, std::wstring& shown, const std::wstring& text) {
  if (text == shown) return;
  (void)::SetWindowTextW(Control(id), text.c_str());
  shown = text;
}

// Moving while the size of the work is not known, then the fraction done.
void ProgressUi::SetBar(bool marquee, int position) {
  const HWND bar = Control(kBarId);
  if (bar == nullptr) return;
  if (marquee != marquee_) {
    const LONG_PTR style = ::GetWindowLongPtrW(bar, GWL_STYLE);
    if (marquee) {
      ::SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
      (void)::SendMessageW(bar, PBM_SETMARQUEE, TRUE, kMarqueeStepMs);
    } else {
      (void)::SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
      ::SetWindowLongPtrW(bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
      (void)::SendMessageW(bar, PBM_SETRANGE32, 0, kBarRange);
    }
    marquee_ = marquee;
    position_ = -1;
  }
  if (marquee || position == position_) return;
  (void)::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  position_ = position;
}

LRESULT CALLBACK ProgressUi::Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* ui = reinterpret_cast<ProgressUi*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_TIMER:
      if (ui != nullptr && wparam == kRefreshTimer) ui->Refresh();
      return 0;
    case WM_CLOSE:  // the work cannot stop midway
      return 0;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == SC_CLOSE) return 0;
      break;
    case WM_DPICHANGED:
      if (ui != nullptr) ui->Layout(LOWORD(wparam), reinterpret_cast<const RECT*>(lparam));
      return 0;
    case WM_DESTROY:
      ::KillTimer(window, kRefreshTimer);
      if (ui != nullptr) UnmarkWindow(window, ui->shared_.mark);
      return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

// Shows the window until told to stop, answering the system meanwhile.
void ShowUntilStopped(ProgressWindow::Shared& shared) {
  WatchRemovalProgress(true);
  ProgressUi ui(shared);
  if (!ui.Create()) {
    WatchRemovalProgress(false);
    return;  // no desktop: the run goes on without it
  }
  const HANDLE stop = shared.stop.get();
  for (;;) {
    const DWORD woken = ::MsgWaitForMultipleObjectsEx(1, &stop, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken != WAIT_OBJECT_0 + 1) return;  // told to stop, or the wait failed
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
}

DWORD WINAPI RunWindow(void* context) {
  auto* shared = static_cast<ProgressWindow::Shared*>(context);
  if (::WaitForSingleObject(shared->stop.get(), ProgressWindow::kAppearAfterMs) == WAIT_TIMEOUT)
    ShowUntilStopped(*shared);
  shared->Release();
  return 0;
}

// Waits up to `wait_ms` for `thread` to end, answering what other threads
// send to this one meanwhile, so that the window's thread never waits on it.
void AwaitThread(HANDLE thread, DWORD wait_ms) {
  for (const DWORD start = ::GetTickCount();;) {
    const DWORD elapsed = ::GetTickCount() - start;
    if (elapsed >= wait_ms) return;
    if (::MsgWaitForMultipleObjects(1, &thread, FALSE, wait_ms - elapsed, QS_SENDMESSAGE) != WAIT_OBJECT_0 + 1)
      return;
    MSG message;
    (void)::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

}  // namespace

void ProgressWindow::Open(const std::wstring& caption, const std::wstring& game, const std::wstring& mark,
                          int icon_id) {
  if (thread_) return;
  try {
    std::unique_ptr<Shared> shared(new Shared);
    shared->caption = caption;
    shared->game = game;
    shared->mark = mark;
    shared->icon_id = icon_id;
    shared->stop.reset(::CreateEventW(nullptr, /*manual_reset=*/TRUE, FALSE, nullptr));
    if (!shared->stop) return;
    thread_.reset(::CreateThread(nullptr, 0, RunWindow, shared.get(), 0, nullptr));
    if (thread_) shared_ = shared.release();
  } catch (const std::bad_alloc&) {
    // No memory for it: the run goes on without the window.
  }
}

void ProgressWindow::ShowRemoving() {
  if (shared_ != nullptr) shared_->phase.store(kRemoving);
}

void ProgressWindow::Close() {
  if (!thread_) return;
  (void)::SetEvent(shared_->stop.get());
  AwaitThread(thread_.get(), kCloseWaitMs);
  WatchRemovalProgress(false);
  thread_.reset();
  shared_->Release();
  shared_ = nullptr;
}
