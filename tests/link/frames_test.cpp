#include "link/Frames.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vx4;

namespace {

struct CheckCase {
    const char* what;
    std::vector<std::uint8_t> frame; // covered bytes followed by the expected check bytes
};

TEST(Frames, CheckBytesOfKnownFrames)
{
    const CheckCase cases[] = {
        {"identify to any device", {0x54, 0x53, 0x52, 0x51, 0x00, 0x00, 0x01, 0x05, 0x4B}},
        {"identify to address 1", {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02}},
        {"next block to 123456", {0x40, 0xE2, 0x01, 0x00, 0x01, 0x00, 0x06, 0x5A, 0xFE, 0x84}},
        {"short F0 06", {0x01, 0x00, 0xF0, 0x06, 0xF7, 0xF7}},
        {"short F0 04", {0x01, 0x00, 0xF0, 0x04, 0xF5, 0xF5}},
    };
    for (const auto& c : cases) {
        const std::size_t n = c.frame.size() - 2;
        std::vector<std::uint8_t> built(c.frame.begin(), c.frame.end() - 2);
        built.resize(c.frame.size());
        FillCheckBytes(built.data(), n);
        EXPECT_EQ(built, c.frame) << c.what;
        EXPECT_TRUE(CheckBytesValid(c.frame.data(), n)) << c.what;
    }
}

TEST(Frames, EitherCheckByteWrongFailsButByteOrderDoesNot)
{
    std::vector<std::uint8_t> f = {0x40, 0xE2, 0x01, 0x00, 0x02, 0x00, 0x06, 0x5A, 0x11, 0, 0};
    FillCheckBytes(f.data(), 9);
    auto badXor = f;
    badXor[9] ^= 1;
    auto badSum = f;
    badSum[10] ^= 1;
    EXPECT_FALSE(CheckBytesValid(badXor.data(), 9));
    EXPECT_FALSE(CheckBytesValid(badSum.data(), 9));
    auto swapped = f;
    std::swap(swapped[7], swapped[8]);
    EXPECT_TRUE(CheckBytesValid(swapped.data(), 9));
}

TEST(Frames, SizesAndLimits)
{
    EXPECT_EQ(Vx3cFrameSize(0), 9u);
    EXPECT_EQ(Vx3cCovered(0), 7u);
    EXPECT_EQ(Vx3cFrameSize(MaxVx3cData), FrameCapacity);
    EXPECT_GT(Vx3cFrameSize(MaxVx3cData + 1), FrameCapacity);
    EXPECT_EQ(ShortFrameSize(1), 6u);
    EXPECT_EQ(Vx2AnswerSize(0x30), 8u);
    EXPECT_EQ(Vx2AnswerSize(0x07), 32u);
    EXPECT_EQ(Vx2AnswerSize(0x41), 72u);
    EXPECT_EQ(Vx2AnswerSize(0x40), 72u);
}

TEST(Frames, Vx2Address)
{
    EXPECT_EQ(Vx2Address(123456), 0x00123456u);
    EXPECT_EQ(Vx2Address(54535251), 0x54535251u);
    EXPECT_EQ(Vx2Address(0x05000000u | 987654u), 0x05987654u); // top byte passes through
    EXPECT_EQ(Vx2Address(0), 0u);
}

TEST(Frames, Crc16ModbusKnownValue)
{
    // Read holding registers, slave 1, address 0, count 10: CRC C5CD (sent CD C5).
    const std::uint8_t req[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(Crc16Modbus(req, sizeof req), 0xCDC5);
}

} // namespace
