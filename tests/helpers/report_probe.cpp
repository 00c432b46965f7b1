// Sends the start event once, as the removal stage does, so that a test can
// watch the program's debugger output from outside.

#include <windows.h>

#include "telemetry/event_report.h"

int wmain(int, wchar_t**) { return TelemetryClient::Report(kStartEvent) ? 0 : 1; }
