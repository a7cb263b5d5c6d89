#pragma once
// The counters of the link test: echo requests made, failed, failures by class, and the
// ring of the last ten outcomes, with the texts the link test window shows for them.
// Plain data: the test thread keeps one, publishes copies, and the window shows a copy.

#include <array>
#include <cstdint>
#include <string>

namespace vx4 {

struct TestConnCounters {
    static constexpr int Classes = 6;
    static constexpr int RingSize = 10;

    std::uint32_t tests = 0;
    std::uint32_t errors = 0;
    std::array<std::uint32_t, Classes> byClass{}; // class 1 at index 0
    std::array<std::uint8_t, RingSize> ring{};    // 0 success, else the class
    int position = 0;                             // ring entry of the next test

    // Error class 1..6 of an echo result; 0 for success.
    static int ClassOf(int result);
    // Counts one test with this echo result and advances the ring.
    void Record(int result);

    // "C:%u  E:%u (%.2f%%): " and the ten ring entries in ring order.
    std::string StatusText() const;
    // The count of a class (1..6) and its share of all tests, "0.00%".
    std::string CountText(int cls) const;
    std::string ShareText(int cls) const;

    // The status line before any test.
    static const char* InitialStatusText();
};

} // namespace vx4
