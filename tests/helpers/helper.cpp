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
//             "read": reading), and runs until ended
//   shortcut  saves a shortcut argv[1] to argv[2] through the shell
//   answer    answers the box captioned argv[1] with argv[2] (ok, cancel,
//             close) and appends its text to the file argv[3]; exit code 0
//             when a box was answered

#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>

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
  if (part == L"hold") {
    const DWORD share = argc > 2 && std::wstring(argv[2]) == L"read" ? FILE_SHARE_READ : 0;
    const UniqueFileHandle held(argc > 1 ? ::CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)
                                         : INVALID_HANDLE_VALUE);
    if (!held) return 1;
    for (;;) ::Sleep(INFINITE);
  }
  for (;;) ::Sleep(INFINITE);
}
