// The executable's directory, apart from how the platform names the
// executable.
#pragma once

namespace config {

// Cuts `path` (NUL-terminated) after its last "/" or "\", keeping that
// separator.  When it has none, or the last stands at position 0 or 1, the
// path is replaced by `fallback` (which must fit where the path was).
void cut_to_directory(char *path, const char *fallback);

}  // namespace config
