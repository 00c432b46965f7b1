// The first run: the program file lives in the folder the removal deletes, so
// it copies itself to the temporary folder, removes the game's registration
// and starts the copy for the removal.

#include <windows.h>
#include <shellapi.h>

#include "app/uninstall_flow.h"
#include "cleanup/module_files.h"
#include "cleanup/registration.h"
#include "common/text.h"
#include "profile/descriptor_loader.h"
#include "profile/game_profile.h"

namespace {

// Starts the copy hidden for the removal of `own_directory`. The process
// handle is not used; it ends with this process.
bool RelaunchCopy(const std::wstring& copy_path, const std::wstring& own_directory) {
  // The closing quote stays unescaped: the directory never ends in "\".
  const std::wstring parameters =
      FormatWide(L"/action=uninstall /path=\"%s\" ", own_directory.c_str());
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = copy_path.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  return ::ShellExecuteExW(&info) != FALSE;
}

}  // namespace

bool RunRelocationStage(const LaunchOptions& /*options*/) {
  const std::wstring copy_path =
      FormatWide(L"%s\\g_uninstall_%u.exe", GetTempDirectory().c_str(),
                 static_cast<unsigned>(::GetTickCount()));
  wchar_t own_file[MAX_PATH + 1] = {};
  (void)::GetModuleFileNameW(nullptr, own_file, MAX_PATH);
  if (!CopyFileContents(own_file, copy_path)) {
    // Without a whole copy there is nothing to start: the registration stays
    // as it is and only the partial copy goes.
    (void)::DeleteFileW(copy_path.c_str());
    return false;
  }
  ::Sleep(50);

  // The program's own folder is the installation: its entries are the ones
  // that name it.
  const std::wstring own_directory = GetModuleDirectory();
  GameProfile.install_dir = own_directory + L"\\";
  (void)LoadGameProfile(GameProfile.install_dir);
  DeleteRegistrationKeys();

  if (!RelaunchCopy(copy_path, own_directory)) {
    // The game must not stay installed but unregistered.
    (void)RestoreRegistrationKeys();
    (void)::DeleteFileW(copy_path.c_str());
  }
  return false;
}
