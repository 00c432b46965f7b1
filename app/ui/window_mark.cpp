#include "app/ui/window_mark.h"

#include <set>

#include "common/global_objects.h"
#include "common/text.h"

namespace {

// The mark the hook puts on this process's boxes: one installation per
// process, so one mark.
std::wstring& BoxMark() {
  static std::wstring mark;
  return mark;
}

// A message box, as its class names it.
bool IsMessageBox(HWND window) {
  wchar_t name[16] = {};
  return ::GetClassNameW(window, name, 16) > 0 && std::wstring(name) == L"#32770";
}

LRESULT CALLBACK MarkBoxes(int code, WPARAM wparam, LPARAM lparam) {
  const HWND window = reinterpret_cast<HWND>(wparam);
  if (code == HCBT_CREATEWND) {
    const CREATESTRUCTW* create = reinterpret_cast<CBT_CREATEWNDW*>(lparam)->lpcs;
    if (!(create->style & WS_CHILD) && IsMessageBox(window)) MarkWindow(window, BoxMark());
  } else if (code == HCBT_DESTROYWND) {
    UnmarkWindow(window, BoxMark());
  }
  return ::CallNextHookEx(nullptr, code, wparam, lparam);
}

// The start of the names of the records of `installation`'s owners.
std::wstring OwnerRecordPrefix(const FileIdentity& installation) {
  return FormatWide(L"g_uninstall_shown_%08lx_%016llx_", installation.volume, installation.index);
}

// The processes recorded as owners of `installation`'s marked windows.
std::set<DWORD> RecordedOwners(const FileIdentity& installation) {
  const std::wstring prefix = OwnerRecordPrefix(installation);
  std::set<DWORD> owners;
  (void)ListAdministratorsObjects(ObjectKind::kEvent, prefix, [&](const std::wstring& name) {
    const std::wstring digits = name.substr(prefix.size());
    wchar_t* end = nullptr;
    const unsigned long id = std::wcstoul(digits.c_str(), &end, 10);
    if (!digits.empty() && end != nullptr && *end == L'\0' && id != 0) owners.insert(id);
    return true;
  });
  return owners;
}

struct Search {
  const std::wstring* mark;
  const std::set<DWORD>* owners;
  HWND found;
};

BOOL CALLBACK FindMarked(HWND window, LPARAM context) {
  Search* search = reinterpret_cast<Search*>(context);
  DWORD process = 0;
  if (!::IsWindowVisible(window) || ::GetPropW(window, search->mark->c_str()) == nullptr ||
      ::GetWindowThreadProcessId(window, &process) == 0 || search->owners->count(process) == 0)
    return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

std::wstring WindowMarkName(const FileIdentity& installation) {
  if (!installation.known) return {};
  return FormatWide(L"g_uninstall_window_%08lx_%016llx", installation.volume, installation.index);
}

void MarkWindow(HWND window, const std::wstring& mark) {
  if (!mark.empty()) (void)::SetPropW(window, mark.c_str(), reinterpret_cast<HANDLE>(1));
}

void UnmarkWindow(HWND window, const std::wstring& mark) {
  if (!mark.empty() && ::GetPropW(window, mark.c_str()) != nullptr) (void)::RemovePropW(window, mark.c_str());
}

MarkedBoxes::MarkedBoxes(const std::wstring& mark) {
  if (mark.empty()) return;
  BoxMark() = mark;
  hook_.reset(::SetWindowsHookExW(WH_CBT, MarkBoxes, nullptr, ::GetCurrentThreadId()));
}

MarkedWindowsOwner::MarkedWindowsOwner(const FileIdentity& installation) {
  if (!installation.known) return;
  record_ = CreateAdministratorsObject(
      ObjectKind::kEvent, OwnerRecordPrefix(installation) + std::to_wstring(::GetCurrentProcessId()),
      /*inheritable=*/false);
}

bool BringMarkedWindowToFront(const FileIdentity& installation) {
  const std::wstring mark = WindowMarkName(installation);
  if (mark.empty()) return false;
  const std::set<DWORD> owners = RecordedOwners(installation);
  if (owners.empty()) return false;
  Search search{&mark, &owners, nullptr};
  (void)::EnumWindows(FindMarked, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return false;
  // Asynchronously: the other process's thread may be busy.
  if (::IsIconic(search.found)) (void)::ShowWindowAsync(search.found, SW_RESTORE);
  if (!::SetForegroundWindow(search.found)) {
    FLASHWINFO flash = {sizeof(flash), search.found, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    (void)::FlashWindowEx(&flash);
  }
  return true;
}
