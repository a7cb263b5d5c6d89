#pragma once
// Opening files that the program only reads and that come from outside (option banks,
// report templates, the entity files a bank names): only a regular file is ever opened for
// reading. A FIFO, a device, a socket or a folder is refused before anything is read from
// it, and opening a FIFO never waits for a writer.

#include <cstddef>
#include <string>

namespace vx4 {

// The reason given when the path names something other than a regular file.
inline constexpr const char* NotRegularFileText = "not a regular file";

// The descriptor of the regular file at path, open for reading (close-on-exec, blocking
// reads); -1 when it cannot be opened or is not a regular file, with *why telling which
// (the system's reason, or "not a regular file"). With followLinks false a symbolic link
// is refused as well.
int OpenRegularFile(const std::string& path, std::string* why, bool followLinks = true);

// The whole content of the regular file at path, refused (with *why) when it is larger
// than limit bytes.
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* why);

} // namespace vx4
