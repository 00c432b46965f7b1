#pragma once
// The program file this process was started from, found by what it is
// rather than by a name: a running program's file can be renamed and another
// file given its name.

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

// The running program's own file, opened by its module name to read and
// checked to be the very file the process runs from. It shares reading
// only: while it is held nobody writes, renames or deletes it. Invalid when
// the name now holds another file, or on failure.
UniqueFileHandle OpenOwnImage();
