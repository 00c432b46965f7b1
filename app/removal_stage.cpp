// The second run of the uninstaller: the copy in the temporary folder, which
// holds no file inside the installation folder and so can remove all of it.
// It holds the installation folder and the folders beside it from its first
// moment: what is removed after the question is what was judged before it.
// It decides the outcome before it tells the first process: what has to go
// after that process ends is held for deletion first, or nothing more goes.

#include <windows.h>

#include "common/run_log.h"
#include "app/run_log_file.h"
#include "app/uninstall_flow.h"
#include "app/relocation/handover.h"
#include "app/resource_ids.h"
#include "app/ui/progress_window.h"
#include "app/ui/window_mark.h"
#include "cleanup/installation_removal.h"
#include "cleanup/files/module_files.h"
#include "cleanup/registration.h"
#include "cleanup/running_process.h"
#include "app/relocation/uninstall_lock.h"
#include "common/text.h"
#include "profile/descriptor_loader.h"
#include "profile/game_profile.h"
#include "telemetry/event_report.h"
#include "telemetry/http_transport.h"

namespace {

// Language of the boxes' buttons: English (Caribbean), which every system
// with English labels has.
constexpr WORD kBoxLanguage = 0x2409;
// How long the copy waits for the first process, which ends once it has the
// word, before removing the uninstaller it runs from.
constexpr DWORD kFirstProcessWaitMs = 60000;

// One run of the removal stage: what it was handed and what it holds.
class Removal {
 public:
  explicit Removal(const LaunchOptions& options) : options_(options) {}
  int Run();

 private:
  // Shows a box, or in a quiet run only logs its text; the question counts
  // as OK there.
  int Tell(const std::wstring& text, UINT style) {
    progress_.Close();  // gone before any box
    LogLine(L"%s", text.c_str());
    if (options_.quiet) return IDOK;
    return ::MessageBoxExW(nullptr, text.c_str(), caption_.c_str(), style, kBoxLanguage);
  }
  // Writes the registration back: exactly as recorded, or, without a
  // record, computed from the descriptor where it is missing.
  void WriteBack() {
    const bool listed = recorded_ ? RestoreRecordedEntries(record_.entries) : RestoreRegistrationKeys();
    LogLine(L"registration written back: %s", listed ? L"listed" : L"not listed");
  }
  // Tells the waiting first process the outcome, once.
  void SendOutcome(int code) {
    if (handles_.outcome == nullptr) return;
    DWORD written = 0;
    (void)::WriteFile(handles_.outcome, &code, sizeof(code), &written, nullptr);
    ::CloseHandle(handles_.outcome);
    handles_.outcome = nullptr;
  }
  // Ends the run: the outcome first, then at most one exchange's deadline
  // for the reports still going.
  int Finish(int code) {
    SendOutcome(code);
    (void)TelemetryClient::Await(kExchangeDeadlineMs);
    return options_.quiet ? code : 0;
  }
  bool Hold();
  int Remove(const std::wstring& game);

  const LaunchOptions& options_;
  HandoverHandles handles_;
  HandoverRecord record_;
  bool recorded_ = false;
  InstallationRemoval removal_;
  UninstallLock lock_;
  std::wstring caption_;
  FileIdentity identity_;  // of the installation folder held
  std::wstring mark_;  // on this run's windows, for a second start to find
  MarkedBoxes marked_boxes_;
  ProgressWindow progress_;
};

// Holds the installation folder, its lock and the folders beside it. False
// when another uninstall of it is in progress.
bool Removal::Hold() {
  FolderForRemoval installation = HoldFolderForRemoval(GameProfile.install_dir, FileIdentity());
  identity_ = IdentityOf(installation.handle());
  if (installation && recorded_ && identity_ != record_.installation) {
    LogLine(L"refused: %s is not the folder the uninstaller was started from",
            GameProfile.install_dir.c_str());
    installation = FolderForRemoval();
  }
  if (!installation) return true;
  // Passed on by the relocation, or taken now by a removal started directly;
  // held to the end either way.
  lock_ = UninstallLock(handles_.lock, installation.handle());
  if (lock_.state() != LockState::kHeld) lock_ = UninstallLock(installation.handle(), /*inheritable=*/false);
  if (lock_.state() != LockState::kHeld) return false;
  removal_ = InstallationRemoval(std::move(installation));
  return true;
}

int Removal::Run() {
  handles_ = TakeHandoverHandles();
  recorded_ = ReadHandoverRecord(handles_.record, record_);
  // A working folder inside the installation (inherited from a start in the
  // game's folder) would keep that folder from being removed.
  const std::wstring own_folder = GetModuleDirectory();
  if (!own_folder.empty()) (void)::SetCurrentDirectoryW((own_folder + L"\\").c_str());

  GameProfile.install_dir += L"\\";
  StartRemovalLog(handles_.log, handles_.record != nullptr, options_.log, GameProfile.install_dir);
  LogLine(L"installation folder: %s (%s)", GameProfile.install_dir.c_str(),
          recorded_ ? L"handed over" : L"named on the command line");
  const bool alone = Hold();
  mark_ = WindowMarkName(identity_);
  if (!alone) {
    LogLine(L"another uninstall of this game is in progress: nothing was changed");
    // What the relocation deleted goes back: the game stays listed.
    if (recorded_) WriteBack();
    // Started by the user: shown the uninstall that runs.
    if (!options_.quiet && BringMarkedWindowToFront(mark_)) LogLine(L"its window was brought to the front");
    return Finish(options_.quiet ? kExitBusy : 0);
  }
  marked_boxes_ = MarkedBoxes(mark_);
  // Without a readable descriptor nothing says that the folder is a game's:
  // the user is still asked, but nothing is removed and the user is told so.
  // A folder that cannot be held is not removed; its descriptor still names
  // the game to the user.
  const HANDLE held = removal_.installation();
  const bool descriptor_read =
      held ? LoadGameProfileIn(held) : LoadGameProfile(GameProfile.install_dir);
  TelemetryClient::Begin(kStartEvent);

  const wchar_t* game = GameProfile.game_name.c_str();
  caption_ = FormatWide(L"%s Unistall", game);
  if (Tell(FormatWide(L"Are you sure you want to completely remove %s and all of its components?",
                      game),
           MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
    TelemetryClient::Begin(kCancelledEvent);
    WriteBack();
    return Finish(kExitNotRemoved);
  }
  if (!options_.quiet) progress_.Open(caption_, game, mark_, IDI_APP_ICON);
  const bool stopped = StopRunningGame();
  LogLine(L"the game: %s", stopped ? L"not running (any running copy was ended)" : L"still running");
  if (!stopped) {
    TelemetryClient::Begin(kResidualProcessEvent);
    // The message asks the user to try again, which needs the game's entry in
    // the list of installed programs.
    WriteBack();
    SendOutcome(kExitNotRemoved);
    Tell(FormatWide(L"%s is still running please close %s then try uninstall again.", game, game),
         MB_OK | MB_ICONINFORMATION);
    return Finish(kExitNotRemoved);
  }
  if (!descriptor_read) {
    TelemetryClient::Begin(kUnreadableDescriptorEvent);
    WriteBack();
    SendOutcome(kExitNotRemoved);
    Tell(FormatWide(L"The game in %s could not be removed: its install information "
                    L"(res\\data\\init.dat) could not be read.",
                    GameProfile.install_dir.c_str()),
         MB_OK | MB_ICONWARNING);
    return Finish(kExitNotRemoved);
  }
  return Remove(game);
}

int Removal::Remove(const std::wstring& game) {
  progress_.ShowRemoving();
  ::OutputDebugStringA("begin firstly ......\n");
  ::OutputDebugStringW((GameProfile.install_dir + L"\n").c_str());
  ::OutputDebugStringA("end firstly ......\n");
  const bool held = removal_.installation() != nullptr;
  bool complete =
      held && removal_.RemoveAllButUninstaller(recorded_ ? record_.uninstaller : UninstallerFileName());
  LogLine(L"removal of all but the uninstaller: %s", complete ? L"done" : L"incomplete");
  // Decided before it is told: once nobody else can hold what is left, the
  // game goes; otherwise nothing more goes and it stays registered.
  complete = complete && removal_.HoldRemainder();
  if (complete) {
    LogLine(L"the uninstaller, the descriptor and their folders: held for deletion");
    // The first process runs from the uninstaller: it goes once that ends.
    SendOutcome(kExitRemoved);
    if (handles_.first) (void)::WaitForSingleObject(handles_.first, kFirstProcessWaitMs);
    // Told: whatever this step leaves, the game is not registered again.
    const bool gone = removal_.RemoveRemainder();
    LogLine(L"removal of the uninstaller and its folders: %s", gone ? L"done" : L"incomplete");
    TelemetryClient::Begin(kSuccessEvent);
    Tell(FormatWide(L"%s was successfully removed from your computer.", game.c_str()),
         MB_OK | MB_ICONINFORMATION);
    return Finish(kExitRemoved);
  }
  // The game is still there: it stays registered, and the user is told.
  TelemetryClient::Begin(kIncompleteEvent);
  WriteBack();
  SendOutcome(kExitNotRemoved);
  Tell(FormatWide(L"%s could not be removed completely. Close any program that uses its files, "
                  L"then try uninstall again.",
                  game.c_str()),
       MB_OK | MB_ICONWARNING);
  return Finish(kExitNotRemoved);
}

}  // namespace

bool RunRemovalStage(const LaunchOptions& options, int& exit_code) {
  exit_code = Removal(options).Run();
  return false;
}
