#pragma once
// The space left for an unprivileged user on the file system of an open file.

#include <cstdint>
#include <cstdio>

namespace vx4 {

// Free bytes on the file system that holds file; false when the stream has no file
// descriptor or the system cannot tell.
bool FreeSpace(std::FILE* file, std::uint64_t* bytes);

} // namespace vx4
