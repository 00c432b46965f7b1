// The first run: the program file lives in the folder the removal deletes, so
// it copies itself to the temporary folder, removes the game's registration
// and starts the copy for the removal.

#include <windows.h>

#include "app/uninstall_flow.h"
#include "cleanup/elevated_copy.h"
#include "cleanup/module_files.h"
#include "cleanup/registration.h"
#include "common/text.h"
#include "profile/descriptor_loader.h"
#include "profile/game_profile.h"

bool RunRelocationStage(const LaunchOptions& /*options*/) {
  const std::wstring temp = GetTempDirectory();
  SweepEarlierCopies(temp);
  wchar_t own_file[MAX_PATH + 1] = {};
  (void)::GetModuleFileNameW(nullptr, own_file, MAX_PATH);
  ElevatedCopy copy = MakeElevatedCopy(own_file, temp, ::GetTickCount());
  // Without a whole copy there is nothing to start: the registration stays
  // as it is, and nothing of the copy is left.
  if (!copy) return false;
  ::Sleep(50);

  // The program's own folder is the installation: its entries are the ones
  // that name it.
  const std::wstring own_directory = GetModuleDirectory();
  GameProfile.install_dir = own_directory + L"\\";
  (void)LoadGameProfile(GameProfile.install_dir);
  DeleteRegistrationKeys();

  // The closing quote stays unescaped: the directory never ends in "\".
  if (!copy.Start(FormatWide(L"/action=uninstall /path=\"%s\" ", own_directory.c_str()))) {
    // The game must not stay installed but unregistered.
    (void)RestoreRegistrationKeys();
    copy.Discard();
  }
  return false;
}
