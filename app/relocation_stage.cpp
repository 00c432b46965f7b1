// The first run: the program file lives in the folder the removal deletes, so
// it copies itself to the temporary folder and starts the copy for the
// removal, then waits for the copy's word on the outcome. It changes nothing
// of the game: the registration goes last, and only the copy deletes it. The
// installation is the folder that holds the very file this process runs
// from, whatever names say.

#include <windows.h>

#include "common/run_log.h"
#include "app/run_log_file.h"
#include "app/uninstall_flow.h"
#include "app/relocation/elevated_copy.h"
#include "app/relocation/handover.h"
#include "cleanup/files/module_files.h"
#include "app/relocation/own_image.h"
#include "cleanup/files/removal_safety.h"
#include "app/relocation/uninstall_lock.h"
#include "app/ui/window_mark.h"
#include "common/test_seams.h"
#include "common/text.h"

namespace {

// The options the copy is started with: the removal stage and the program's
// own folder; a quiet run passes on its mode. The log is handed over open,
// never by name.
std::wstring CopyParameters(const std::wstring& own_directory, const LaunchOptions& options) {
  // The closing quote stays unescaped: the directory never ends in "\".
  std::wstring parameters = FormatWide(L"/action=uninstall /path=\"%s\" ", own_directory.c_str());
  if (options.quiet) parameters += L"/quiet ";
  return parameters;
}

// Test build only: lets a test act at the moment `stage` of the relocation,
// through the named events <name>.<stage>.ready (set here) and
// <name>.<stage>.go (awaited), when the test made them.
void PauseForTests(const wchar_t* stage) {
  const std::wstring name = TestSeamText(L"UNINSTALL_TEST_PAUSE");
  if (name.empty()) return;
  const std::wstring prefix = name + L"." + stage;
  const UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (prefix + L".ready").c_str()));
  const UniqueHandle go(::OpenEventW(SYNCHRONIZE, FALSE, (prefix + L".go").c_str()));
  if (ready) (void)::SetEvent(ready.get());
  if (go) (void)::WaitForSingleObject(go.get(), 60000);
}

// Waits for the copy's word on the outcome, through the pipe whose only
// writer the copy holds: the read ends with the word or with the copy's end,
// whichever comes first. False when the copy ended without a word.
bool AwaitWord(HANDLE pipe, int& code) {
  DWORD read = 0;
  return ::ReadFile(pipe, &code, sizeof(code), &read, nullptr) && read == sizeof(code);
}

}  // namespace

bool RunRelocationStage(const LaunchOptions& options, int& exit_code) {
  exit_code = 0;
  const auto fail = [&](const wchar_t* why) {
    LogLine(L"relocation: %s", why);
    if (options.quiet) exit_code = kExitNotRemoved;
    return false;
  };
  PauseForTests(L"start");
  // The file this process runs from, and the folder that really holds it.
  UniqueFileHandle image = OpenOwnImage();
  PauseForTests(L"held");
  std::wstring image_name, installation_path;
  UniqueFileHandle installation =
      image ? OpenHoldingFolder(image.get(), image_name, installation_path) : UniqueFileHandle();
  // Opened once the installation is known, so that it is never in the
  // removal's way; handed to the copy open.
  StartRunLog(options.log, installation ? installation.get() : nullptr);
  if (!installation) return fail(L"refused: the program's own file or folder cannot be told");
  LogLine(L"installation folder: %s", installation_path.c_str());
  const FileIdentity identity = IdentityOf(installation.get());
  UninstallLock lock(installation.get(), /*inheritable=*/true);
  if (lock.state() == LockState::kBusy) {
    LogLine(L"another uninstall of this game is in progress: nothing was changed");
    // Started by the user: shown the uninstall that runs.
    if (!options.quiet && BringMarkedWindowToFront(identity))
      LogLine(L"its window was brought to the front");
    exit_code = options.quiet ? kExitBusy : 0;
    return false;
  }
  if (lock.state() != LockState::kHeld) return fail(L"the uninstall lock cannot be had: nothing was changed");

  // A copy on a server need not be what was written and checked.
  const std::wstring temp = LocalCopyFolder(GetTempDirectory());
  if (temp.empty()) return fail(L"no temporary folder on a local disk: nothing was changed");
  SweepEarlierCopies(temp);
  ElevatedCopy copy = MakeElevatedCopy(image.get(), temp, ::GetTickCount());
  // Without a whole copy there is nothing to start: nothing changes.
  if (!copy) return fail(L"the copy could not be made: nothing was changed");
  ::Sleep(50);

  const std::wstring own_directory = GetModuleDirectory();
  const HandoverRecord record{identity, image_name};
  if (!copy.WriteRecord(EncodeHandover(record))) {
    copy.Discard();
    return fail(L"the hand-over record could not be written: nothing was changed");
  }

  // This process waits for the copy's word in every run: a quiet caller
  // gets the outcome as the exit code.
  UniqueHandle outcome_read, outcome_write;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  if (!::CreatePipe(outcome_read.put(), outcome_write.put(), &inherit, 0) ||
      !::SetHandleInformation(outcome_read.get(), HANDLE_FLAG_INHERIT, 0)) {
    copy.Discard();
    return fail(L"the copy could not be started: nothing was changed");
  }
  // The copy opens the installation folder to remove it: not held from
  // here, not even as the working folder of a first process that waits.
  const std::wstring parameters = CopyParameters(own_directory, options);
  installation.reset();
  wchar_t system[MAX_PATH] = {};
  if (::GetSystemDirectoryW(system, MAX_PATH) > 0) (void)::SetCurrentDirectoryW(system);
  const UniqueHandle child =
      copy.Start(parameters, {nullptr, lock.handle(), outcome_write.get(), nullptr, RunLogHandle()});
  if (!child) {
    copy.Discard();
    return fail(L"the copy could not be started: nothing was changed");
  }
  LogLine(L"started the copy %s", copy.path().c_str());
  outcome_write.reset();  // the copy holds the only writer now
  // The copy holds the lock it inherited: a caller that starts the program
  // again once it has the exit code finds it free.
  lock.Release();
  // The copy opens this program's file for deletion, sharing nothing, before
  // its word: nothing inside the installation is held from here.
  image.reset();
  int word = kExitNotRemoved;
  if (!AwaitWord(outcome_read.get(), word)) {
    LogLine(L"the copy ended without a word: the game stays as it was, listed");
    word = kExitNotRemoved;
  }
  exit_code = options.quiet ? word : 0;
  LogLine(L"exit code %d", exit_code);
  return false;
}
