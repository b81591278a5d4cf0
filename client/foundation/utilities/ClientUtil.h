// Directory helpers of the client foundation.
#pragma once

#include <string>

namespace ClientUtil {

// True when a new file can be created in `directory` (a probe file is made
// and removed again).
bool IsDirWritable(const std::string& directory);

// Deletes everything inside `directory`, recursively; the directory stays.
// Stops at the first entry that cannot be removed and leaves the rest. Never
// follows a symbolic link: a link inside is removed, its target untouched, and
// a `directory` that is itself a link is left alone.
void EmptyDirectory(const std::string& directory);

} // namespace ClientUtil
