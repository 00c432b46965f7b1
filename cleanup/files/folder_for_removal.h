#pragma once
// A folder opened for removal: judged once, by its handle, and from then on
// reached only through that handle.

#include <windows.h>

#include <string>

#include "cleanup/files/native_files.h"
#include "common/unique_resource.h"

class FolderForRemoval {
 public:
  enum class Kind {
    kRefused,  // nothing may be done to it
    kFolder,   // a folder to empty and remove
    kLink,     // a link to remove as a link, never entered
  };

  FolderForRemoval() = default;
  FolderForRemoval(FolderForRemoval&&) = default;
  FolderForRemoval& operator=(FolderForRemoval&&) = default;

  Kind kind() const { return kind_; }
  explicit operator bool() const { return kind_ != Kind::kRefused; }
  // Open without delete sharing; invalid when refused.
  HANDLE handle() const { return handle_.get(); }
  // Its EntryName: what its entries' names extend.
  const std::wstring& name() const { return name_; }
  // Where it is ("C:\Games\X"), for the removal's report of what it did.
  const std::wstring& path() const { return path_; }
  // Closes the handle (a folder marked for deletion goes now).
  void Close() { handle_.reset(); }

 private:
  friend FolderForRemoval JudgeFolderForRemoval(UniqueFileHandle, const std::wstring&,
                                                const FileIdentity&);
  Kind kind_ = Kind::kRefused;
  UniqueFileHandle handle_;
  std::wstring name_;
  std::wstring path_;
};

// Opens `folder` for removal without following a link at its last
// component, and judges it by what the handle shows: refused unless it is an
// absolute path (drive letter or share) with no wildcard, stream or device
// form, that opens as a folder (or a link to remove as a link) whose real
// place and named place pass IsRemovableLocation and that holds no other game's install
// descriptor (res\data\init.dat) at its top or one level down; the
// descriptor of `own_installation` (the game's installation folder, may be
// "") is the one allowed. A link that the system can only open through to its
// target (Wine) is refused: deleting through that handle would delete the
// target.
FolderForRemoval OpenFolderForRemoval(const std::wstring& folder,
                                      const std::wstring& own_installation = L"");
// The same, with the installation known by its identity.
FolderForRemoval OpenFolderForRemoval(const std::wstring& folder, const FileIdentity& own);

// Opens and judges `folder` as OpenFolderForRemoval does, but only to hold
// it: to list it, without delete sharing, so that nobody can rename or move
// it while it is held, and without delete access, so that a program that runs
// in it (the game, with its working folder there) does not keep it from
// being held. An unknown `own` means the folder is the installation itself.
FolderForRemoval HoldFolderForRemoval(const std::wstring& folder, const FileIdentity& own);

// The folder that really holds the open folder `child`, held to look at it
// and list it, without delete sharing, so that nobody can rename or move it
// while it is held; checked to be where its name says and to hold `child`
// itself (file identity) under the name put in `name`. `path` receives where
// it is ("C:\Games", "C:\" for a drive's root). Invalid for a drive's root
// and when it cannot be held or told.
UniqueFileHandle HoldFolderAbove(HANDLE child, std::wstring& name, std::wstring& path);

// The judgment of the open folder `handle`, named `named_path`, by the rules
// of OpenFolderForRemoval, for a folder only held to look at it.
FolderForRemoval::Kind JudgeFolder(HANDLE handle, const std::wstring& named_path,
                                   const FileIdentity& own);

// Judges the folder `handle` (opened to list and delete, without delete
// sharing, not following a link at its last component) that was named
// `named_path`, by the rules of OpenFolderForRemoval; the descriptor of the
// installation `own` is the one allowed inside. Takes the handle either way.
FolderForRemoval JudgeFolderForRemoval(UniqueFileHandle handle, const std::wstring& named_path,
                                       const FileIdentity& own);

// Opens the folder `relative` (components separated by "\") below the open
// folder `base`, whose path is `base_path`, each component from the one
// before and checked to be itself, not a link, then judges it. Refused when
// any component is a link, is missing or is not itself.
FolderForRemoval OpenFolderBelow(HANDLE base, const std::wstring& base_path,
                                 const std::wstring& relative, const FileIdentity& own);
