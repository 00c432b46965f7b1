#pragma once
// The running program's own file and folder, the temporary folder, and the
// block copy that the relocation stage uses to put the program there.

#include <windows.h>

#include <string>

// The folder of the running executable, without a trailing "\"; "" when the
// module path holds no "\".
std::wstring GetModuleDirectory();

// The temporary folder exactly as GetTempPathW gives it (ending in "\"), or
// "" when the system gives none.
std::wstring GetTempDirectory();

// Copies the bytes of the open file `source` from its start to the open file
// `destination` in blocks of 4,096 bytes. True only when every byte up to the
// source's end was written; a failed read and a short or failed write give
// false.
bool CopyFileContents(HANDLE source, HANDLE destination);

// Whether the open files `a` and `b` hold the same bytes, read from their
// start.
bool SameContents(HANDLE a, HANDLE b);
