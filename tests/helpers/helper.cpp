// The one helper program the tests, the harness and the demonstration start,
// its part chosen by the environment variable HELPER so that its command line
// stays its own:
//   (unset)   stands in for the game: runs until it is ended
//   cmdline   parses its command line as the uninstaller does and writes what
//             it found to the file HELPER_OUT
//   report    sends the start event, as the removal stage does
//   load      loads the DLL argv[1] the ordinary way (its own folder first)
//   trust     adds the certificate argv[1] (DER) to the machine's Root store
//   hold      opens the file argv[1] to read, sharing nothing (argv[2]
//             "read": reading; "delete": reading and deleting), and runs
//             until ended
//   shortcut  saves a shortcut argv[1] to argv[2] through the shell
//   answer    answers the box captioned argv[1] with argv[2] (ok, cancel,
//             close) and appends its text to the file argv[3]; exit code 0
//             when a box was answered
//   look      waits for a shown window captioned argv[1], a message box when
//             argv[2] is "box", another window otherwise, whose lines start
//             with argv[3] and whose bar is at argv[4] thousandths or more
//             (when given); prints its X window and its lines; exit code 0
//             when one came

#include <windows.h>
#include <wincrypt.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>

#include "app/command_line.h"
#include "common/text.h"
#include "profile/game_profile.h"
#include "telemetry/event_report.h"
#include "tests/support/harness.h"

namespace {

bool AddRootCertificate(const wchar_t* path) {
  const std::string der = test::Read(path);
  const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  const bool added = store && ::CertAddEncodedCertificateToStore(
                                  store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                  static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  if (store) ::CertCloseStore(store, 0);
  return added;
}

int Answer(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const std::wstring how = argv[2];
  const test::Box box = test::AnswerBox(argv[1], how == L"cancel" ? test::Answer::kCancel
                                                 : how == L"close" ? test::Answer::kCloseButton
                                                                   : test::Answer::kOk, 90000);
  if (box.found) test::Write(argv[3], test::Read(argv[3]) + WideToUtf8(box.text) + "\n");
  return box.found ? 0 : 1;
}

// The lines of `window`'s children, in the order of their identifiers,
// joined by " / ".
std::wstring Lines(HWND window) {
  std::map<int, std::wstring> texts;
  for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t text[512] = {};
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(child, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 1000, &result);
    if (text[0] != L'\0') texts[::GetDlgCtrlID(child)] = text;
  }
  std::wstring lines;
  for (const auto& [id, text] : texts) lines += (lines.empty() ? L"" : L" / ") + text;
  return lines;
}

// Whether `window` has a bar at `least` thousandths or more.
bool BarAtLeast(HWND window, long least) {
  for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[32] = {};
    DWORD_PTR position = 0;
    ::GetClassNameW(child, name, 32);
    if (std::wstring(name) == L"msctls_progress32" && !(::GetWindowLongW(child, GWL_STYLE) & PBS_MARQUEE) &&
        ::SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position) && static_cast<long>(position) >= least)
      return true;
  }
  return false;
}

int Look(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const bool box = std::wstring(argv[2]) == L"box";
  const std::wstring first_words = argc > 3 ? argv[3] : L"";
  for (int i = 0; i < 3000; ++i, ::Sleep(20)) {
    for (HWND window = ::FindWindowExW(nullptr, nullptr, nullptr, argv[1]); window;
         window = ::FindWindowExW(nullptr, window, nullptr, argv[1])) {
      wchar_t name[16] = {};
      ::GetClassNameW(window, name, 16);
      const std::wstring lines = Lines(window);
      if (!::IsWindowVisible(window) || (std::wstring(name) == L"#32770") != box ||
          lines.compare(0, first_words.size(), first_words) != 0 || (argc > 4 && !BarAtLeast(window, _wtol(argv[4]))))
        continue;
      // Wine keeps the X window of each of its windows as this property.
      std::printf("0x%llx %s\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(
                                     ::GetPropW(window, L"__wine_x11_whole_window"))),
                  WideToUtf8(lines).c_str());
      return 0;
    }
  }
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring part = test::Env(L"HELPER");
  if (part == L"cmdline") {
    LaunchOptions options;
    ParseCommandLine(__argc, __wargv, options);
    test::Write(test::Env(L"HELPER_OUT"), "action=" + WideToUtf8(options.action) + "\npath=" +
                                              WideToUtf8(GameProfile.install_dir) + "\nremoval=" +
                                              (SelectsRemovalStage(options) ? "yes" : "no") + "\n");
    return 0;
  }
  if (part == L"report") return TelemetryClient::Report(kStartEvent) ? 0 : 1;
  if (part == L"load") return argc > 1 && ::LoadLibraryW(argv[1]) ? 0 : 1;
  if (part == L"trust") return argc > 1 && AddRootCertificate(argv[1]) ? 0 : 1;
  if (part == L"shortcut" && argc > 2) test::MakeShortcut(argv[1], argv[2]);
  if (part == L"shortcut") return argc > 2 && test::Exists(argv[1]) ? 0 : 1;
  if (part == L"answer") return Answer(argc, argv);
  if (part == L"look") return Look(argc, argv);
  if (part == L"hold") {
    const std::wstring sharing = argc > 2 ? argv[2] : L"";
    const DWORD share = sharing == L"read" ? FILE_SHARE_READ : sharing == L"delete" ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
    const UniqueFileHandle held(argc > 1 ? ::CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)
                                         : INVALID_HANDLE_VALUE);
    if (!held) return 1;
    for (;;) ::Sleep(INFINITE);
  }
  for (;;) ::Sleep(INFINITE);
}
