#pragma once
// Byte layout of the three frame kinds on the device line (vx3c, short, vx2), their two
// check bytes (XOR, then sum modulo 256) and the limits a receiver enforces. Pure
// functions on byte buffers; nothing here allocates or touches a port.

#include <cstddef>
#include <cstdint>

namespace vx4 {

inline constexpr std::size_t FrameCapacity = 1024;
inline constexpr std::uint32_t AnyDeviceAddress = 0x51525354;

// vx3c frame: address(4) length(2) command(1) data(length) xor(1) sum(1).
inline constexpr std::size_t Vx3cHeaderSize = 7;
inline constexpr std::size_t Vx3cOverhead = 9;
inline constexpr std::size_t MaxVx3cData = FrameCapacity - Vx3cOverhead; // 1015
// Short frame: length(2) command(1) data(length) xor(1) sum(1).
inline constexpr std::size_t ShortHeaderSize = 3;
inline constexpr std::size_t ShortOverhead = 5;
// vx2 request: fixed 16 bytes.
inline constexpr std::size_t Vx2RequestSize = 16;

// Writes xorByte at offset n and sumByte at offset n + 1 over bytes 0 .. n-1.
void FillCheckBytes(std::uint8_t* frame, std::size_t n);
// True when the two bytes at n and n + 1 match the check bytes of bytes 0 .. n-1.
bool CheckBytesValid(const std::uint8_t* frame, std::size_t n);

constexpr std::size_t Vx3cFrameSize(std::size_t length) { return length + Vx3cOverhead; }
constexpr std::size_t Vx3cCovered(std::size_t length) { return length + Vx3cHeaderSize; }
constexpr std::size_t ShortFrameSize(std::size_t length) { return length + ShortOverhead; }
constexpr std::size_t ShortCovered(std::size_t length) { return length + ShortHeaderSize; }
constexpr std::size_t Vx2Covered(std::size_t size) { return size - 2; }
// Size of the vx2 answer to a request with command c.
constexpr std::size_t Vx2AnswerSize(std::uint8_t c) { return c >= 0x40 ? 72 : (c == 0x30 ? 8 : 32); }

// The transducer address: the serial number's decimal digits packed as BCD, top byte kept.
std::uint32_t Vx2Address(std::uint32_t serial);
// CRC-16/MODBUS (init FFFF, reflected polynomial A001) over n bytes.
std::uint16_t Crc16Modbus(const std::uint8_t* data, std::size_t n);

// Little-endian access used by every decoder of wire bytes.
inline std::uint16_t GetU16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
inline std::uint32_t GetU32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
inline void PutU16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}
float GetF32(const std::uint8_t* p);
void PutF32(std::uint8_t* p, float v);

// Builds a vx3c frame header (address, length, command) in place and fills its check
// bytes; data must already stand at offset 7. Returns the frame's total size.
std::size_t BuildVx3cFrame(std::uint8_t* frame, std::uint32_t address, std::uint16_t length,
                           std::uint8_t command);

} // namespace vx4
