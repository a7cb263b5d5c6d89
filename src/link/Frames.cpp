#include "link/Frames.h"

#include <bit>
#include <cstring>

namespace vx4 {

void FillCheckBytes(std::uint8_t* frame, std::size_t n)
{
    std::uint8_t x = 0, s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= frame[i];
        s = std::uint8_t(s + frame[i]);
    }
    frame[n] = x;
    frame[n + 1] = s;
}

bool CheckBytesValid(const std::uint8_t* frame, std::size_t n)
{
    std::uint8_t x = 0, s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= frame[i];
        s = std::uint8_t(s + frame[i]);
    }
    return frame[n] == x && frame[n + 1] == s;
}

static std::uint32_t ToBcd(std::uint32_t m)
{
    std::uint32_t r = 0;
    for (int shift = 0; m != 0 && shift < 32; shift += 4) {
        r |= (m % 10) << shift;
        m /= 10;
    }
    return r;
}

std::uint32_t Vx2Address(std::uint32_t serial)
{
    if (serial == 54535251u)
        return ToBcd(serial);
    return ToBcd(serial & 0x00FFFFFFu) | (serial & 0xFF000000u);
}

std::uint16_t Crc16Modbus(const std::uint8_t* data, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    }
    return crc;
}

float GetF32(const std::uint8_t* p) { return std::bit_cast<float>(GetU32(p)); }
void PutF32(std::uint8_t* p, float v) { PutU32(p, std::bit_cast<std::uint32_t>(v)); }

std::size_t BuildVx3cFrame(std::uint8_t* frame, std::uint32_t address, std::uint16_t length,
                           std::uint8_t command)
{
    PutU32(frame, address);
    PutU16(frame + 4, length);
    frame[6] = command;
    FillCheckBytes(frame, Vx3cCovered(length));
    return Vx3cFrameSize(length);
}

} // namespace vx4
