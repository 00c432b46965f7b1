#pragma once

// Test build only: when UNINSTALL_TEST_LAUNCH_RECORD names a file, appends
// one UTF-8 line for this process to it:
//   <process id> <show command, -1 when none was given> <command line>
// The tests learn from it how the relocation stage started the copy. The
// release build does nothing.
void RecordLaunchForTests();
