#include "link/Vx4Records.h"

#include "link/Frames.h"

#include <algorithm>
#include <cstring>

namespace vx4 {

namespace {

// Copies min(n, size) bytes into a zeroed record image, so that decoders read a full
// record whatever the answer carried.
template <std::size_t Size>
std::array<std::uint8_t, Size> Image(const std::uint8_t* data, std::size_t n)
{
    std::array<std::uint8_t, Size> img{};
    if (data != nullptr)
        std::memcpy(img.data(), data, std::min(n, Size));
    return img;
}

template <std::size_t N>
std::string TextUpToZero(const std::array<std::uint8_t, N>& a)
{
    std::size_t len = 0;
    while (len < N && a[len] != 0)
        ++len;
    return std::string(reinterpret_cast<const char*>(a.data()), len);
}

} // namespace

SDevIdent SDevIdent::Decode(const std::uint8_t* data, std::size_t n)
{
    const auto b = Image<Size>(data, n);
    SDevIdent r;
    r.protoMinor = b[0];
    r.protoMajor = b[1];
    r.swBuild = GetU16(&b[2]);
    r.swMinor = b[4];
    r.swMajor = b[5];
    r.stackFillPct = b[6];
    std::copy_n(&b[7], r.deviceType.size(), r.deviceType.begin());
    std::copy_n(&b[11], r.cpuType.size(), r.cpuType.begin());
    r.unused20 = b[20];
    r.serial = GetU32(&b[21]);
    r.initState = std::int32_t(GetU32(&b[25]));
    std::copy_n(&b[29], r.initTime.size(), r.initTime.begin());
    r.extMinor = b[35];
    r.extMajor = b[36];
    r.swChecksum = GetU32(&b[37]);
    r.stateFlags = b[41];
    return r;
}

void SDevIdent::Encode(std::uint8_t* out) const
{
    out[0] = protoMinor;
    out[1] = protoMajor;
    PutU16(out + 2, swBuild);
    out[4] = swMinor;
    out[5] = swMajor;
    out[6] = stackFillPct;
    std::copy(deviceType.begin(), deviceType.end(), out + 7);
    std::copy(cpuType.begin(), cpuType.end(), out + 11);
    out[20] = unused20;
    PutU32(out + 21, serial);
    PutU32(out + 25, std::uint32_t(initState));
    std::copy(initTime.begin(), initTime.end(), out + 29);
    out[35] = extMinor;
    out[36] = extMajor;
    PutU32(out + 37, swChecksum);
    out[41] = stateFlags;
}

std::array<std::uint8_t, SDevIdent::Size> SDevIdent::Bytes() const
{
    std::array<std::uint8_t, Size> b{};
    Encode(b.data());
    return b;
}

std::string SDevIdent::DeviceTypeText() const { return TextUpToZero(deviceType); }
std::string SDevIdent::CpuTypeText() const { return TextUpToZero(cpuType); }

std::uint8_t ToBcdByte(unsigned value)
{
    if (value >= 100)
        return 0x99;
    return std::uint8_t(((value / 10) << 4) | (value % 10));
}

unsigned FromBcdByte(std::uint8_t b) { return unsigned(b >> 4) * 10 + (b & 0x0F); }

DeviceClock DeviceClock::FromValues(unsigned day, unsigned month, unsigned year, unsigned hour,
                                    unsigned minute, unsigned second)
{
    DeviceClock c;
    c.bcd = {ToBcdByte(day), ToBcdByte(month), ToBcdByte(year),
             ToBcdByte(hour), ToBcdByte(minute), ToBcdByte(second)};
    return c;
}

DeviceClock DeviceClock::Decode(const std::uint8_t* data, std::size_t n)
{
    DeviceClock c;
    c.bcd = Image<Size>(data, n);
    return c;
}

void DeviceClock::Encode(std::uint8_t* out) const { std::copy(bcd.begin(), bcd.end(), out); }

unsigned DeviceClock::Value(Field f) const { return FromBcdByte(bcd[std::size_t(f)]); }

SSysEvent SSysEvent::Decode(const std::uint8_t* data, std::size_t n)
{
    const auto b = Image<Size>(data, n);
    SSysEvent e;
    e.TaskID = GetU32(&b[0]);
    e.EvCode = GetU32(&b[4]);
    e.TStamp = GetU32(&b[8]);
    e.EvCnt = GetU32(&b[12]);
    std::copy_n(&b[16], TextSize, e.text.begin());
    return e;
}

void SSysEvent::Encode(std::uint8_t* out) const
{
    PutU32(out, TaskID);
    PutU32(out + 4, EvCode);
    PutU32(out + 8, TStamp);
    PutU32(out + 12, EvCnt);
    std::copy(text.begin(), text.end(), out + 16);
}

std::string SSysEvent::Text() const { return TextUpToZero(text); }

SArchiveInfo SArchiveInfo::Decode(const std::uint8_t* data, std::size_t n)
{
    const auto b = Image<Size>(data, n);
    SArchiveInfo a;
    a.lastRecord = GetU16(&b[0]);
    a.flags = b[2];
    a.unused3 = b[3];
    a.startAddress = GetU32(&b[4]);
    a.rowsMinusOne = GetU16(&b[8]);
    a.unused10 = GetU16(&b[10]);
    return a;
}

void SArchiveInfo::Encode(std::uint8_t* out) const
{
    PutU16(out, lastRecord);
    out[2] = flags;
    out[3] = unused3;
    PutU32(out + 4, startAddress);
    PutU16(out + 8, rowsMinusOne);
    PutU16(out + 10, unused10);
}

std::array<std::uint8_t, SArchiveInfo::Size> SArchiveInfo::Bytes() const
{
    std::array<std::uint8_t, Size> b{};
    Encode(b.data());
    return b;
}

SConfigInfo SConfigInfo::Decode(const std::uint8_t* data, std::size_t n)
{
    SConfigInfo info;
    const auto head = Image<8>(data, n);
    info.itemCount = GetU32(&head[0]);
    info.checksum = GetU32(&head[4]);
    if (n <= 8 || data == nullptr) {
        info.systemCount = MaxSystems;
        return info;
    }
    // A device never has more than nine systems; a larger count would lead readers of
    // the nine name slots past their end.
    info.systemCount = std::min<std::uint8_t>(data[8], MaxSystems);
    std::size_t pos = 9;
    // Reads one zero-ended text; a text cut by the end of the data ends there.
    auto readText = [&](std::string& out) {
        std::size_t end = pos;
        while (end < n && data[end] != 0)
            ++end;
        out.assign(reinterpret_cast<const char*>(data + pos), end - pos);
        pos = end < n ? end + 1 : n;
    };
    for (int i = 0; i < MaxSystems && i < info.systemCount; ++i) {
        readText(info.systemNames[std::size_t(i)]);
        readText(info.systemNotes[std::size_t(i)]);
    }
    return info;
}

SItemValue SItemValue::Decode(const std::uint8_t* data, std::size_t n)
{
    const auto b = Image<Size>(data, n);
    SItemValue v;
    std::copy_n(b.begin(), 4, v.value.begin());
    v.status = GetU32(&b[4]);
    return v;
}

void SItemValue::Encode(std::uint8_t* out) const
{
    std::copy(value.begin(), value.end(), out);
    PutU32(out + 4, status);
}

float SItemValue::AsFloat() const { return GetF32(value.data()); }

} // namespace vx4
