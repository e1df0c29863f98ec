// Opening files of the `Web` folder: the open-with-retry rule and the inside-the-folder check.
#pragma once

#include "platform.h"

#include <string>
#include <string_view>

namespace tavolex::web {

using FileHandle = platform::UniqueFd;

// Opens for reading. A file that another program holds busy is tried again after a pause of
// (limit + 127) / 128 ms, doubling each time while the pause is below the time left; any other
// failure ends the attempts at once. Opening never blocks on a FIFO.
FileHandle OpenWithRetry(const std::string& path, int limitMs);

// True when the open file lies inside `root` (a folder with every symbolic link resolved) as
// the system resolved it when opening: a link that leads out of the folder does not count.
bool IsInsideFolder(const FileHandle& file, std::string_view root);

} // namespace tavolex::web
