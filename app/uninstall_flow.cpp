#include "app/uninstall_flow.h"

#include <cstdlib>

bool UninstallFlow() {
  LaunchOptions options;
  ParseCommandLine(__argc, __wargv, options);
  if (SelectsRemovalStage(options)) return RunRemovalStage(options);
  return RunRelocationStage(options);
}
