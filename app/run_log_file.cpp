#include "app/run_log_file.h"

#include <shlobj.h>

#include <vector>

#include "cleanup/files/native_files.h"
#include "cleanup/files/plain_file.h"
#include "cleanup/files/removal_safety.h"
#include "cleanup/files/shell_folders.h"
#include "common/run_log.h"
#include "common/text.h"
#include "common/unique_resource.h"
#include "profile/descriptor_loader.h"
#include "profile/game_profile.h"

namespace {

// The folder above `path` ("" above a drive's or share's root), and the
// last component of `path` in `name`.
std::wstring Parent(const std::wstring& path, std::wstring& name) {
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash + 1 >= path.size()) return {};
  name = path.substr(slash + 1);
  return slash == 2 && path[1] == L':' ? path.substr(0, 3) : path.substr(0, slash);
}

// `path` as named and, when it is there, where it really is.
std::vector<std::wstring> NamedAndReal(const std::wstring& path) {
  std::vector<std::wstring> names;
  const std::wstring named = AbsolutePath(path);
  if (named.empty()) return names;
  names.push_back(named);
  const UniqueFileHandle folder = OpenFolderToList(named);
  const std::wstring real = folder ? FinalPathOf(folder.get()) : std::wstring();
  if (!real.empty()) names.push_back(real);
  return names;
}

// The descriptor's names as the installation's descriptor gives them now;
// the process-wide record is left as it was.
GameProfileRecord DescriptorNames(HANDLE installation) {
  const GameProfileRecord saved = GameProfile;
  (void)LoadGameProfileIn(installation);
  GameProfileRecord names = GameProfile;
  GameProfile = saved;
  return names;
}

// Why a log named `name` in the folder that really is `folder` lies where
// the removal of the installation at `installation` deletes; null when it
// does not.
const wchar_t* InTheRemovalsWay(const std::wstring& folder, const std::wstring& name,
                                const std::wstring& installation, const GameProfileRecord& game) {
  if (installation.empty()) return nullptr;
  if (IsSameOrInside(folder, installation)) return L"it lies in the installation folder";
  std::wstring own_name, root_name;
  const std::wstring root = Parent(installation, own_name);
  if (SameName(own_name, L"app") && !root.empty() && IsRemovableLocation(root) &&
      IsSameOrInside(folder, root))
    return L"it lies in the game root";
  const std::wstring library = root.empty() ? std::wstring() : Parent(root, root_name);
  if (!library.empty() && IsPlainName(game.cache_name) && IsPlainName(game.branch_id) &&
      IsSameOrInside(folder, library + L"\\" + game.cache_name + L"\\" + game.branch_id))
    return L"it lies in the game's shared cache";
  if (IsPlainName(game.install_name)) {
    for (const std::wstring& menu : NamedAndReal(ShellFolderPath(CSIDL_STARTMENU))) {
      if (IsSameOrInside(folder, menu + L"\\Programs\\" + game.install_name))
        return L"it lies in the game's Start-menu folder";
    }
  }
  if (IsPlainName(game.shortcut_name) && SameName(name, game.shortcut_name + L".lnk")) {
    for (const std::wstring& desktop : NamedAndReal(ShellFolderPath(CSIDL_DESKTOPDIRECTORY))) {
      if (IsSameOrInside(folder, desktop) && IsSameOrInside(desktop, folder))
        return L"it is the game's desktop shortcut";
    }
  }
  return nullptr;
}

// The folder `folder` (absolute, long names) opened from its drive's or
// share's root one folder at a time, each checked to be itself and no link.
UniqueFileHandle OpenFolderFromRoot(const std::wstring& folder) {
  size_t root_end = 3;  // "C:\"
  if (folder.compare(0, 2, L"\\\\") == 0) {
    // "\\server\share\": the share is the root.
    const size_t server_end = folder.find(L'\\', 2);
    const size_t share_end =
        server_end == std::wstring::npos ? server_end : folder.find(L'\\', server_end + 1);
    root_end = share_end == std::wstring::npos ? folder.size() : share_end + 1;
  }
  UniqueFileHandle root = OpenFolderToList(folder.substr(0, root_end));
  if (!root || root_end >= folder.size()) return root;
  return OpenFolderChain(root.get(), folder.substr(root_end));
}

// The log file at `path`, or why it is not used in `refusal`.
UniqueFileHandle OpenLogFile(const std::wstring& path, HANDLE installation, std::wstring& refusal) {
  std::vector<wchar_t> full(32768);
  const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  std::wstring name;
  const std::wstring named_folder =
      length > 0 && length < full.size()
          ? AbsolutePath(Parent(std::wstring(full.data(), length), name))
          : std::wstring();
  if (named_folder.empty() || !IsPlainName(name)) {
    refusal = L"not the name of a file in a folder";
    return UniqueFileHandle();
  }
  const UniqueFileHandle folder = OpenFolderFromRoot(named_folder);
  const std::wstring real = folder ? FinalPathOf(folder.get()) : std::wstring();
  if (real.empty() || !IsSameOrInside(real, named_folder) || !IsSameOrInside(named_folder, real)) {
    refusal = L"its folder cannot be reached from the drive's root without a link";
    return UniqueFileHandle();
  }
  const std::wstring installation_path = installation ? FinalPathOf(installation) : std::wstring();
  const GameProfileRecord game = installation ? DescriptorNames(installation) : GameProfileRecord();
  if (const wchar_t* why = InTheRemovalsWay(real, name, installation_path, game)) {
    refusal = why;
    return UniqueFileHandle();
  }
  UniqueFileHandle file = OpenFileToAppend(folder.get(), name);
  BY_HANDLE_FILE_INFORMATION info = {};
  // A file of several names may be another's file under a name here.
  if (!IsEntryItself(file.get(), EntryName(folder.get()), name) || !IsPlainFileHandle(file.get()) ||
      !::GetFileInformationByHandle(file.get(), &info) || info.nNumberOfLinks != 1) {
    refusal = L"no plain file of its own can be opened there";
    return UniqueFileHandle();
  }
  return file;
}

void BeginLog(UniqueFileHandle file) {
  SetRunLog(std::move(file));
  LogLine(L"started: %s", ::GetCommandLineW());
}

}  // namespace

void StartRunLog(const std::wstring& path, HANDLE installation) {
  if (path.empty()) return;
  std::wstring refusal;
  UniqueFileHandle file = OpenLogFile(path, installation, refusal);
  if (!file) {
    const std::wstring line =
        L"log " + path + L" not used: " + refusal + L"; the uninstall goes on without it";
    ::OutputDebugStringW((EscapedForLog(line) + L"\n").c_str());
    return;
  }
  BeginLog(std::move(file));
}

void StartRemovalLog(HANDLE handed_over, bool relocated, const std::wstring& path,
                     const std::wstring& install_dir) {
  if (handed_over != nullptr) {
    BeginLog(UniqueFileHandle(handed_over));
    return;
  }
  if (relocated) return;
  const UniqueFileHandle installation = OpenFolderToList(install_dir);
  StartRunLog(path, installation ? installation.get() : nullptr);
}
