#include "app/uninstall_flow.h"

#include <windows.h>

#include <cstdlib>

#include "app/launch_record.h"
#include "common/run_log.h"

bool UninstallFlow(int& exit_code) {
  RecordLaunchForTests();
  LaunchOptions options;
  ParseCommandLine(__argc, __wargv, options);
  // Each stage opens its log (app/run_log_file.h) once it knows the
  // installation, and writes the first line then.
  const bool resident = SelectsRemovalStage(options) ? RunRemovalStage(options, exit_code)
                                                     : RunRelocationStage(options, exit_code);
  LogLine(L"ended with exit code %d", exit_code);
  return resident;
}
