#pragma once

#include "app/command_line.h"

// Exit codes, as deployment tools read them. An interactive run always ends
// with 0; a quiet run's first process ends with the copy's code.
constexpr int kExitRemoved = 0;
constexpr int kExitNotRemoved = 1603;  // not removed, or not completely
constexpr int kExitBusy = 1618;        // another uninstall of the game runs

// The uninstall driver: parses the command line and runs one stage. Returns
// whether the process should stay resident; both stages return false.
// `exit_code` receives the process's exit code.
bool UninstallFlow(int& exit_code);

// Copies the program to the temporary folder, removes the game's
// registration and relaunches the copy for the removal. When the copy or the
// relaunch fails the game stays registered. A quiet run waits for the copy's
// outcome. Returns false.
bool RunRelocationStage(const LaunchOptions& options, int& exit_code);

// Confirms with the user (a quiet run counts as OK), ends the game, removes
// it and reports. Returns false.
bool RunRemovalStage(const LaunchOptions& options, int& exit_code);
