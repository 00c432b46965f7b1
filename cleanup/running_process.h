#pragma once
// Ends the game's running processes by force before anything is removed.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

// The first process, in snapshot order, whose executable file name equals
// `exe_name` exactly (case-sensitive, whole name) and whose image file lies
// in the folder `installation`, opened to be ended; invalid when there is
// none, the name or folder is empty or the snapshot cannot be read. A process
// whose image cannot be queried is not the game.
UniqueHandle OpenGameProcess(const std::wstring& exe_name, const std::wstring& installation);

// Up to `attempts` times: finds one such process, requests its termination
// and pauses `pause_ms`. True as soon as a search finds none; false when
// every attempt found one (no search follows the last attempt).
bool StopProcessesByName(const std::wstring& exe_name, const std::wstring& installation,
                         int attempts, DWORD pause_ms);

// Whether a running process's image file is `path` (resolved, case
// ignored).
bool IsRunningImage(const std::wstring& path);

// StopProcessesByName for GameProfile.exe_name in GameProfile.install_dir
// with 60 attempts and pauses of 3,000 ms. False means the game is still
// running.
bool StopRunningGame();
