// Reading a flow transducer's graduation pairs through the device's relay.

#include "device/Vx4obj.h"

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"

#include <cmath>

namespace vx4 {

namespace {

constexpr std::uint8_t Vx2CountCommand = 0x07;
constexpr std::uint8_t Vx2PairCommand = 0x2B;
constexpr std::size_t GraduationAnswerCapacity = 32;
constexpr float NotANumberValue = 1.0e30f;

// Relay payload: 00 02, then a 16-byte vx2 request to the transducer.
void BuildRequest(std::uint8_t* payload, std::uint32_t address, std::uint8_t command, std::uint8_t arg)
{
    std::uint8_t* frame = payload + 2;
    payload[0] = 0;
    payload[1] = 2;
    for (std::size_t i = 0; i < Vx2RequestSize; ++i)
        frame[i] = 0;
    PutU32(frame, Vx2Address(address));
    frame[4] = command;
    frame[5] = arg;
    FillCheckBytes(frame, Vx2Covered(Vx2RequestSize));
}

float Sane(float v) { return std::isnan(v) ? NotANumberValue : v; }

} // namespace

int CVX4Obj::ReadGraduation(std::uint32_t address, CGiGeArray& table)
{
    std::lock_guard<std::recursive_mutex> link(linkLock_);
    std::uint8_t payload[2 + Vx2RequestSize];
    std::uint8_t answer[GraduationAnswerCapacity];
    std::size_t length = 0;

    BuildRequest(payload, address, Vx2CountCommand, 0);
    int rc = Relay(conn_, deviceNo_, payload, sizeof payload, answer, sizeof answer, &length);
    if (rc != 0)
        return rc;
    if (length < 6)
        return FRAME_LENGTH_ERROR;
    const unsigned count = answer[5];
    table.Clear();
    for (unsigned i = 0; i < count; ++i) {
        BuildRequest(payload, address, Vx2PairCommand, std::uint8_t(i));
        length = 0;
        rc = Relay(conn_, deviceNo_, payload, sizeof payload, answer, sizeof answer, &length);
        if (rc != 0)
            return rc;
        if (length < 14)
            return FRAME_LENGTH_ERROR;
        table.Add(Sane(GetF32(answer + 6)), Sane(GetF32(answer + 10)));
    }
    return 0;
}

} // namespace vx4
