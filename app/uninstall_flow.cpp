#include "app/uninstall_flow.h"

#include <cstdlib>

#include "app/launch_record.h"

bool UninstallFlow() {
  RecordLaunchForTests();
  LaunchOptions options;
  ParseCommandLine(__argc, __wargv, options);
  if (SelectsRemovalStage(options)) return RunRemovalStage(options);
  return RunRelocationStage(options);
}
