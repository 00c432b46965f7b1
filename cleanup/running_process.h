#pragma once
// Ends the game's running processes by force before anything is removed.

#include <windows.h>

#include <string>

// The identifier of the first process, in snapshot order, whose executable
// file name equals `exe_name` exactly (case-sensitive, whole name); 0 when
// there is none, the name is empty or the snapshot cannot be read.
DWORD FindProcessByName(const std::wstring& exe_name);

// Up to `attempts` times: finds one process named `exe_name`, requests its
// termination and pauses `pause_ms`. True as soon as a search finds none;
// false when every attempt found one (no search follows the last attempt).
bool StopProcessesByName(const std::wstring& exe_name, int attempts, DWORD pause_ms);

// StopProcessesByName for GameProfile.exe_name with 60 attempts and pauses
// of 3,000 ms. False means the game is still running.
bool StopRunningGame();
