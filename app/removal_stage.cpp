#include "app/uninstall_flow.h"

bool RunRemovalStage(const LaunchOptions& /*options*/) { return false; }
