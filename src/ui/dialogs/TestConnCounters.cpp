#include "ui/dialogs/TestConnCounters.h"

#include "link/ResultCodes.h"

#include <cstdio>

namespace vx4 {

int TestConnCounters::ClassOf(int result)
{
    switch (result) {
    case OK: return 0;
    case LINK_TIMEOUT: return 1;
    case FRAME_CHECK_FAILED: return 2;
    case FRAME_LENGTH_ERROR: return 3;
    case ECHO_WRONG_COMMAND: return 4;
    case ECHO_WRONG_ADDRESS: return 5;
    default: return 6; // echo data differ (1), device codes and every other failure
    }
}

void TestConnCounters::Record(int result)
{
    ++tests;
    ring[std::size_t(position)] = 0;
    if (result != 0) {
        ++errors;
        const int cls = ClassOf(result);
        ++byClass[std::size_t(cls - 1)];
        ring[std::size_t(position)] = std::uint8_t(cls);
    }
    position = (position + 1) % RingSize;
}

std::string TestConnCounters::StatusText() const
{
    char text[160];
    const double share = tests == 0 ? 0.0 : double(errors) * 100.0 / double(tests);
    std::snprintf(text, sizeof text, "C:%u  E:%u (%.2f%%): %u %u %u %u %u %u %u %u %u %u", tests, errors, share,
                  ring[0], ring[1], ring[2], ring[3], ring[4], ring[5], ring[6], ring[7], ring[8], ring[9]);
    return text;
}

std::string TestConnCounters::CountText(int cls) const { return std::to_string(byClass[std::size_t(cls - 1)]); }

std::string TestConnCounters::ShareText(int cls) const
{
    char text[32];
    const double share = tests == 0 ? 0.0 : double(byClass[std::size_t(cls - 1)]) * 100.0 / double(tests);
    std::snprintf(text, sizeof text, "%.2f%%", share);
    return text;
}

const char* TestConnCounters::InitialStatusText()
{
    return "C: 0         E:0          (0.00%): 0 0 0 0 0 0 0 0 0 0";
}

} // namespace vx4
