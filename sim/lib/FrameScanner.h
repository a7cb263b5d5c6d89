#pragma once
// Finds request frames in the byte stream a transport receives: a vx3c frame, or a short
// frame (recognised by its command byte 0xF0 at offset 2 and valid check bytes).

#include <cstddef>
#include <cstdint>

namespace vx4sim {

struct ScanResult {
    enum Kind {
        NeedMore,  // a frame has begun; wait for more bytes
        Frame,     // a complete frame of `size` bytes (check bytes not judged for vx3c)
        Garbage    // `size` bytes that cannot begin a frame; drop them
    } kind = NeedMore;
    bool shortFrame = false;
    std::size_t size = 0;
};

ScanResult ScanFrame(const std::uint8_t* buf, std::size_t n);

} // namespace vx4sim
