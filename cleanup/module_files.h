#pragma once
// The running program's own file and folder, the temporary folder, and the
// block copy that the relocation stage uses to put the program there.

#include <string>

// The folder of the running executable, without a trailing "\"; "" when the
// module path holds no "\".
std::wstring GetModuleDirectory();

// The temporary folder exactly as GetTempPathW gives it (ending in "\"), or
// "" when the system gives none.
std::wstring GetTempDirectory();

// Copies the bytes of `source` to `destination` (created or truncated) in
// blocks of 4,096 bytes. True only when the destination was created and every
// byte up to the source's end was written to it; a missing source, a
// destination that cannot be created, a failed read and a short or failed
// write all give false. A destination left by a failed copy is not removed.
bool CopyFileContents(const std::wstring& source, const std::wstring& destination);
