#pragma once
// Checks that stand between a name or folder handed to the uninstaller (from
// the command line or from a descriptor ordinary users can often write to)
// and a removal that runs with administrator rights.

#include <string>

// True when `name` can be used as one path component and names nothing but
// itself: non-empty, not "." or "..", no "\", "/" or ":", no wildcard
// (* ? < > " |), no control character, and no trailing dot or space (which
// the system would strip, turning "x " into "x" and " " into nothing).
bool IsPlainName(const std::wstring& name);

// True when `folder` may be removed as a whole tree: an absolute path with a
// drive letter (C:\...) or a share (\\server\share\...), at least one level
// below the drive or share root, holding no wildcard, stream or device form,
// and, both as written and as the system resolves it (relative parts, short
// names, links on the way), neither one of the system's known folders, nor an
// ancestor of one, nor inside the Windows folder. Trailing separators are
// ignored. False for everything else.
bool IsSafeRemovalTarget(const std::wstring& folder);
