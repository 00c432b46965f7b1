// The second run of the uninstaller: the copy in the temporary folder, which
// holds no file inside the installation folder and so can remove all of it.
// It holds the installation folder and the folders beside it from its first
// moment, and opens the game's registry entries before the question: what is
// removed after it is what was judged before it, and a removal that cannot
// happen is said so without asking. It decides the outcome before it tells
// the first process: what has to go after that process ends is held for
// deletion first, or nothing more goes. The registration goes last, just
// before the word, so that whatever ends the run, the game is listed until
// only what is held for deletion is left of it.

#include <windows.h>

#include <utility>

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
  // Tells the waiting first process the outcome, once. Whatever this run
  // still holds of the game goes first, and in a quiet run the lock too: a
  // caller that starts the uninstaller again as soon as it has the exit code
  // finds nothing in its way. An interactive run keeps the lock while its
  // last box is up, for a second start to bring it to the front.
  void SendOutcome(int code) {
    held_ = HeldInstallation();
    entries_ = GameEntries();
    if (options_.quiet) lock_.Release();
    if (handles_.outcome == nullptr) return;
    DWORD written = 0;
    (void)::WriteFile(handles_.outcome, &code, sizeof(code), &written, nullptr);
    ::CloseHandle(handles_.outcome);
    handles_.outcome = nullptr;
  }
  // Ends the run: the outcome first, then every report begun, each within
  // its own deadline.
  int Finish(int code) {
    SendOutcome(code);
    (void)TelemetryClient::Await();
    return options_.quiet ? code : 0;
  }
  // Ends a run whose removal cannot happen: nothing is asked, nothing
  // changes, and the user is told why.
  int Refuse(const ReportEvent& event, const std::wstring& text) {
    TelemetryClient::Begin(event);
    SendOutcome(kExitNotRemoved);
    Tell(text, MB_OK | MB_ICONWARNING);
    return Finish(kExitNotRemoved);
  }
  bool Hold();
  int Remove(const std::wstring& game);

  const LaunchOptions& options_;
  HandoverHandles handles_;
  HandoverRecord record_;
  bool handed_over_ = false;
  HeldInstallation held_;
  GameEntries entries_;
  UninstallLock lock_;
  std::wstring caption_;
  FileIdentity identity_;  // of the installation folder held
  std::wstring mark_;  // on this run's windows, for a second start to find
  MarkedBoxes marked_boxes_;
  MarkedWindowsOwner owner_;  // proves this run's marked windows its own
  ProgressWindow progress_;
};

// Holds the installation folder, its lock and the folders beside it. False
// when another uninstall of it is in progress.
bool Removal::Hold() {
  // Passed on by the relocation; closed here unless it is kept as the lock.
  UniqueHandle inherited(std::exchange(handles_.lock, nullptr));
  FolderForRemoval installation = HoldFolderForRemoval(GameProfile.install_dir, FileIdentity());
  identity_ = IdentityOf(installation.handle());
  if (installation && handed_over_ && identity_ != record_.installation) {
    LogLine(L"refused: %s is not the folder the uninstaller was started from",
            GameProfile.install_dir.c_str());
    installation = FolderForRemoval();
  }
  if (!installation) return true;
  // Passed on by the relocation, or taken now by a removal started directly;
  // held to the end either way.
  lock_ = UninstallLock(inherited.release(), installation.handle());
  if (lock_.state() != LockState::kHeld) lock_ = UninstallLock(installation.handle(), /*inheritable=*/false);
  if (lock_.state() != LockState::kHeld) return false;
  held_ = HeldInstallation(std::move(installation));
  return true;
}

int Removal::Run() {
  handles_ = TakeHandoverHandles();
  handed_over_ = ReadHandoverRecord(handles_.record, record_);
  // A working folder inside the installation (inherited from a start in the
  // game's folder) would keep that folder from being removed.
  const std::wstring own_folder = GetModuleDirectory();
  if (!own_folder.empty()) (void)::SetCurrentDirectoryW((own_folder + L"\\").c_str());

  GameProfile.install_dir += L"\\";
  StartRemovalLog(handles_.log, handles_.record != nullptr, options_.log, GameProfile.install_dir);
  LogLine(L"installation folder: %s (%s)", GameProfile.install_dir.c_str(),
          handed_over_ ? L"handed over" : L"named on the command line");
  const bool alone = Hold();
  mark_ = WindowMarkName(identity_);
  if (!alone) {
    LogLine(L"another uninstall of this game is in progress: nothing was changed");
    // Started by the user: shown the uninstall that runs.
    if (!options_.quiet && BringMarkedWindowToFront(identity_)) LogLine(L"its window was brought to the front");
    return Finish(options_.quiet ? kExitBusy : 0);
  }
  marked_boxes_ = MarkedBoxes(mark_);
  owner_ = MarkedWindowsOwner(identity_);
  // A folder that cannot be held is not removed; its descriptor still names
  // the game to the user.
  const HANDLE held = held_.installation();
  const bool descriptor_read =
      held ? LoadGameProfileIn(held) : LoadGameProfile(GameProfile.install_dir);
  TelemetryClient::Begin(kStartEvent);

  const wchar_t* game = GameProfile.game_name.c_str();
  caption_ = FormatWide(L"%s Unistall", game);
  // Judged before the question, so that the user is asked only for a
  // removal that can happen, and no game is ended for one that cannot.
  // Without a readable descriptor nothing says that the folder is a game's.
  if (!descriptor_read)
    return Refuse(kUnreadableDescriptorEvent,
                  FormatWide(L"The game in %s could not be removed: its install information "
                             L"(res\\data\\init.dat) could not be read.",
                             GameProfile.install_dir.c_str()));
  const std::wstring refused = held_.Refusal();
  if (!refused.empty())
    return Refuse(kRefusedEvent, FormatWide(L"%s cannot be removed from %s: that folder is a system or user "
                                            L"folder, holds another program's installation, or is not an "
                                            L"ordinary folder. Nothing was changed.",
                                            game, refused.c_str()));
  entries_ = GameEntries::Open();
  if (!entries_.undeletable().empty())
    return Refuse(kRefusedEvent, FormatWide(L"%s cannot be removed: its entry %s in the list of installed "
                                            L"programs cannot be deleted. Nothing was changed.",
                                            game, entries_.undeletable().c_str()));
  LogLine(L"registration: %u entries of the game's, deleted last", static_cast<unsigned>(entries_.size()));

  if (Tell(FormatWide(L"Are you sure you want to completely remove %s and all of its components?",
                      game),
           MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
    TelemetryClient::Begin(kCancelledEvent);
    return Finish(kExitNotRemoved);
  }
  if (!options_.quiet) progress_.Open(caption_, game, mark_, IDI_APP_ICON);
  const bool stopped = StopRunningGame();
  LogLine(L"the game: %s", stopped ? L"not running (any running copy was ended)" : L"still running");
  if (!stopped) {
    TelemetryClient::Begin(kResidualProcessEvent);
    SendOutcome(kExitNotRemoved);
    Tell(FormatWide(L"%s is still running please close %s then try uninstall again.", game, game),
         MB_OK | MB_ICONINFORMATION);
    return Finish(kExitNotRemoved);
  }
  return Remove(game);
}

int Removal::Remove(const std::wstring& game) {
  progress_.ShowRemoving();
  ::OutputDebugStringA("begin firstly ......\n");
  ::OutputDebugStringW((GameProfile.install_dir + L"\n").c_str());
  ::OutputDebugStringA("end firstly ......\n");
  RemovalRest rest =
      RemoveAllButUninstaller(std::move(held_), handed_over_ ? record_.uninstaller : UninstallerFileName());
  LogLine(L"removal of all but the uninstaller: %s", rest.complete() ? L"done" : L"incomplete");
  // Decided before it is told: once nobody else can hold what is left, the
  // registration goes, and then the game has gone; otherwise nothing more
  // goes and it stays listed, with an uninstaller that works.
  HeldRemainder remainder = HoldRemainder(std::move(rest));
  if (remainder) LogLine(L"the uninstaller, the descriptor and their folders: held for deletion");
  std::wstring left;
  if (remainder && entries_.DeleteAll(left)) {
    LogLine(L"registration: deleted");
    // The first process runs from the uninstaller: it goes once that ends.
    SendOutcome(kExitRemoved);
    if (handles_.first) (void)::WaitForSingleObject(handles_.first, kFirstProcessWaitMs);
    const bool gone = RemoveRemainder(std::move(remainder));
    LogLine(L"removal of the uninstaller and its folders: %s", gone ? L"done" : L"incomplete");
    TelemetryClient::Begin(kSuccessEvent);
    Tell(FormatWide(L"%s was successfully removed from your computer.", game.c_str()),
         MB_OK | MB_ICONINFORMATION);
    return Finish(kExitRemoved);
  }
  if (!left.empty()) LogLine(L"registration: left: %s could not be deleted", left.c_str());
  // The game is still there: it stays listed, and the user is told.
  remainder = HeldRemainder();
  TelemetryClient::Begin(kIncompleteEvent);
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
