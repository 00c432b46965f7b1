#pragma once

#include "app/command_line.h"

// The uninstall driver: parses the command line and runs one stage. Returns
// whether the process should stay resident; both stages return false.
bool UninstallFlow();

// Copies the program to the temporary folder, removes the game's
// registration and relaunches the copy for the removal. When the copy or the
// relaunch fails the game stays registered. Returns false.
bool RunRelocationStage(const LaunchOptions& options);

// Confirms with the user, ends the game, removes it and reports. Returns
// false.
bool RunRemovalStage(const LaunchOptions& options);
