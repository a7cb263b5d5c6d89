#pragma once
// The device's system events as a table of texts and as the tab-separated text the events
// window saves: a title row "TaskID", "EvCode", "TStamp", "EvCnt", "Текст сообщения",
// then one row per event (the four numbers as unsigned decimal, then the event text);
// every cell is followed by a tab and every row ends with CR LF. Texts are code page 1251,
// as the device sends them, with no header or byte-order mark.

#include "link/Vx4Records.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vx4 {

class connection;

using SystemEventRow = std::array<std::string, 5>;

class SystemEventsText {
public:
    static constexpr unsigned MaxEvents = 513;

    static SystemEventRow TitleRow(); // CP1251
    // The cells of one event; the text is at most its 32 bytes, ending at the first zero.
    static SystemEventRow Row(const SSysEvent& ev);
    // The saved text: the title row, then the given rows.
    static std::string Text(const std::vector<SystemEventRow>& rows);
    static std::string Text(const std::vector<SSysEvent>& events);
    // The proposed file name: "VX4_" + the device number + "_events.txt".
    static std::string FileName(std::uint32_t devNo);

    // Reads the events one by one with ReadSystemEvent, at most MaxEvents of them; the list
    // ends at the first failure or at an event whose TaskID is 0. progress (may be empty)
    // is told the number of events read after each one. Returns the code that ended the
    // list (0 for the empty event, the failing read's code otherwise, 0 at the limit).
    // A cancel flag that becomes true ends the list before the next read with
    // OPERATION_CANCELLED; what was read stays in events.
    static int Read(connection& conn, std::uint32_t devNo, std::vector<SSysEvent>* events,
                    const std::function<void(unsigned)>& progress = {},
                    const std::atomic<bool>* cancel = nullptr);
};

} // namespace vx4
