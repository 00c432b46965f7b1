#include "app/uninstall_flow.h"

bool RunRelocationStage(const LaunchOptions& /*options*/) { return false; }
