// The second run of the uninstaller: the copy in the temporary folder, which
// holds no file inside the installation folder and so can remove all of it.

#include <windows.h>

#include "app/uninstall_flow.h"
#include "cleanup/installation_removal.h"
#include "cleanup/module_files.h"
#include "cleanup/registration.h"
#include "cleanup/running_process.h"
#include "common/text.h"
#include "profile/descriptor_loader.h"
#include "profile/game_profile.h"
#include "telemetry/event_report.h"

namespace {

// Language of the boxes' buttons: English (Caribbean), which every system
// with English labels has.
constexpr WORD kBoxLanguage = 0x2409;

int ShowBox(const std::wstring& text, const std::wstring& caption, UINT style) {
  return ::MessageBoxExW(nullptr, text.c_str(), caption.c_str(), style, kBoxLanguage);
}

}  // namespace

bool RunRemovalStage(const LaunchOptions& /*options*/) {
  // A working folder inside the installation (inherited from a start in the
  // game's folder) would keep that folder from being removed.
  const std::wstring own_folder = GetModuleDirectory();
  if (!own_folder.empty()) (void)::SetCurrentDirectoryW((own_folder + L"\\").c_str());

  GameProfile.install_dir += L"\\";
  // Without a readable descriptor nothing says that the folder is a game's:
  // the user is still asked, but nothing is removed and the user is told so.
  const bool descriptor_read = LoadGameProfile(GameProfile.install_dir);

  (void)TelemetryClient::Report(kStartEvent);

  const wchar_t* game = GameProfile.game_name.c_str();
  const std::wstring caption = FormatWide(L"%s Unistall", game);
  const std::wstring question = FormatWide(
      L"Are you sure you want to completely remove %s and all of its components?", game);
  if (ShowBox(question, caption, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
    (void)TelemetryClient::Report(kCancelledEvent);
    (void)RestoreRegistrationKeys();
    return false;
  }

  if (!StopRunningGame()) {
    (void)TelemetryClient::Report(kResidualProcessEvent);
    // The message asks the user to try again, which needs the game's entry in
    // the list of installed programs.
    (void)RestoreRegistrationKeys();
    ShowBox(FormatWide(L"%s is still running please close %s then try uninstall again.", game,
                       game),
            caption, MB_OK | MB_ICONINFORMATION);
    return false;
  }

  ::OutputDebugStringA("begin firstly ......\n");
  ::OutputDebugStringW((GameProfile.install_dir + L"\n").c_str());
  ::OutputDebugStringA("end firstly ......\n");
  if (descriptor_read && RemoveInstallation()) {
    (void)TelemetryClient::Report(kSuccessEvent);
    ShowBox(FormatWide(L"%s was successfully removed from your computer.", game), caption,
            MB_OK | MB_ICONINFORMATION);
    return false;
  }

  // The game is still there: it stays registered, and the user is told.
  (void)TelemetryClient::Report(descriptor_read ? kIncompleteEvent : kUnreadableDescriptorEvent);
  (void)RestoreRegistrationKeys();
  ShowBox(descriptor_read
              ? FormatWide(L"%s could not be removed completely. Close any program that uses its "
                           L"files, then try uninstall again.",
                           game)
              : FormatWide(L"The game in %s could not be removed: its install information "
                           L"(res\\data\\init.dat) could not be read.",
                           GameProfile.install_dir.c_str()),
          caption, MB_OK | MB_ICONWARNING);
  return false;
}
