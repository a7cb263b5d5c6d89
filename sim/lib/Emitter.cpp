#include "Emitter.h"

#include "link/Frames.h"

#include <cstdlib>

namespace vx4sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Command codes of the vx3c frames: identification, values, texts, blocks, files.
constexpr std::uint8_t kVx3cCommands[] = {0x01, 0x02, 0x06, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26};
// vx2 command codes across the answer lengths (0x30: 8 bytes; from 0x40: 72; else 32) and
// the answer waits (11, 39, 48, 49, 90, 91, 100, 101).
constexpr std::uint8_t kVx2Commands[] = {0x07, 0x2B, 0x30, 0x41, 11, 39, 48, 49, 90, 91, 100, 101};

} // namespace

bool ParseEmission(const std::string& text, Emission* emission, std::string* error)
{
    auto fail = [&](const std::string& msg) {
        if (error)
            *error = msg;
        return false;
    };
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return fail("--emit needs the form vx3c:RATE or vx2:RATE (RATE frames a second, or max)");
    Emission e = *emission;
    const std::string kind = text.substr(0, colon);
    const std::string rate = text.substr(colon + 1);
    if (kind == "vx3c")
        e.kind = Emission::Vx3c;
    else if (kind == "vx2")
        e.kind = Emission::Vx2;
    else
        return fail("--emit: unknown traffic \"" + kind + "\" (vx3c or vx2)");
    if (rate == "max") {
        e.rate = 0;
    } else {
        char* end = nullptr;
        const double v = std::strtod(rate.c_str(), &end);
        if (rate.empty() || *end != '\0' || !(v > 0 && v <= 100000))
            return fail("--emit: \"" + rate + "\" is not a rate (frames a second above 0 and at most 100000, or max)");
        e.rate = v;
    }
    *emission = e;
    return true;
}

Emitter::Emitter(const Emission& emission, std::uint32_t address, std::vector<std::uint32_t> transducers)
    : emission_(emission), address_(address), transducers_(std::move(transducers)), rng_(emission.seed)
{
    if (transducers_.empty())
        transducers_.push_back(1203045);
}

std::vector<EmittedFrame> Emitter::NextUnit()
{
    return emission_.kind == Emission::Vx2 ? Vx2Unit() : Vx3cUnit();
}

std::vector<EmittedFrame> Emitter::Vx3cUnit()
{
    std::uniform_int_distribution<int> length(0, 120), byte(0, 255), percent(0, 99);
    const std::uint16_t n = std::uint16_t(length(rng_));
    Bytes f(vx4::Vx3cFrameSize(n));
    for (std::size_t i = 0; i < n; ++i)
        f[vx4::Vx3cHeaderSize + i] = std::uint8_t(byte(rng_));
    vx4::BuildVx3cFrame(f.data(), address_, n, kVx3cCommands[next_++ % std::size(kVx3cCommands)]);
    EmittedFrame frame{std::move(f), false};
    if (emission_.faults) {
        const int p = percent(rng_);
        if (p < 3) {
            // Cut short anywhere from the first byte to the last but one.
            std::uniform_int_distribution<std::size_t> cut(1, frame.bytes.size() - 1);
            frame.bytes.resize(cut(rng_));
            frame.pauseAfter = true;
        } else if (p < 8) {
            frame.bytes.back() ^= 0x5A; // a wrong sum byte
        }
    }
    return {std::move(frame)};
}

std::vector<EmittedFrame> Emitter::Vx2Unit()
{
    std::uniform_int_distribution<int> byte(0, 255), percent(0, 99);
    if (emission_.faults && percent(rng_) < 4)
        return ModbusUnit();
    const std::uint32_t target = vx4::Vx2Address(transducers_[next_ % transducers_.size()]);
    const std::uint8_t command = kVx2Commands[next_++ % std::size(kVx2Commands)];
    Bytes request(vx4::Vx2RequestSize);
    vx4::PutU32(request.data(), target);
    request[4] = command;
    request[5] = std::uint8_t(byte(rng_) % 16); // an index
    vx4::FillCheckBytes(request.data(), vx4::Vx2Covered(request.size()));
    Bytes answer(vx4::Vx2AnswerSize(command));
    vx4::PutU32(answer.data(), target);
    answer[4] = command;
    for (std::size_t i = 5; i + 2 < answer.size(); ++i)
        answer[i] = std::uint8_t(byte(rng_));
    vx4::FillCheckBytes(answer.data(), vx4::Vx2Covered(answer.size()));
    return {{std::move(request), false}, {std::move(answer), false}};
}

std::vector<EmittedFrame> Emitter::ModbusUnit()
{
    // Read two holding registers from slave 1, and the slave's answer.
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes request = {0x01, 0x03, 0x00, std::uint8_t(byte(rng_)), 0x00, 0x02, 0, 0};
    Bytes answer = {0x01, 0x03, 0x04, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 3; i < 7; ++i)
        answer[i] = std::uint8_t(byte(rng_));
    for (Bytes* f : {&request, &answer})
        vx4::PutU16(f->data() + f->size() - 2, vx4::Crc16Modbus(f->data(), f->size() - 2));
    return {{std::move(request), true}, {std::move(answer), true}};
}

} // namespace vx4sim
