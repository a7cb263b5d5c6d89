#include "common/SystemEventsText.h"

#include "link/Connection.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"

#include <cstdio>

namespace vx4 {

SystemEventRow SystemEventsText::TitleRow()
{
    // The last cell is "Текст сообщения" in code page 1251.
    return {"TaskID", "EvCode", "TStamp", "EvCnt", "\xD2\xE5\xEA\xF1\xF2 \xF1\xEE\xEE\xE1\xF9\xE5\xED\xE8\xFF"};
}

SystemEventRow SystemEventsText::Row(const SSysEvent& ev)
{
    std::size_t n = 0;
    while (n < ev.text.size() && ev.text[n] != 0)
        ++n;
    return {std::to_string(ev.TaskID), std::to_string(ev.EvCode), std::to_string(ev.TStamp),
            std::to_string(ev.EvCnt), std::string(reinterpret_cast<const char*>(ev.text.data()), n)};
}

std::string SystemEventsText::Text(const std::vector<SystemEventRow>& rows)
{
    std::string text;
    auto append = [&text](const SystemEventRow& row) {
        for (const std::string& cell : row) {
            text += cell;
            text += '\t';
        }
        text += "\r\n";
    };
    append(TitleRow());
    for (const SystemEventRow& row : rows)
        append(row);
    return text;
}

std::string SystemEventsText::Text(const std::vector<SSysEvent>& events)
{
    std::vector<SystemEventRow> rows;
    rows.reserve(events.size());
    for (const SSysEvent& ev : events)
        rows.push_back(Row(ev));
    return Text(rows);
}

std::string SystemEventsText::FileName(std::uint32_t devNo)
{
    return "VX4_" + std::to_string(devNo) + "_events.txt";
}

int SystemEventsText::Read(connection& conn, std::uint32_t devNo, std::vector<SSysEvent>* events,
                           const std::function<void(unsigned)>& progress, const std::atomic<bool>* cancel)
{
    events->clear();
    // A cancel ends the read in progress too, not only the next one.
    const connection::CancelScope cancelScope(cancel);
    while (events->size() < MaxEvents) {
        if (cancel != nullptr && cancel->load())
            return OPERATION_CANCELLED;
        SSysEvent ev;
        const int rc = ReadSystemEvent(conn, devNo, &ev);
        if (rc != 0)
            return cancel != nullptr && cancel->load() ? OPERATION_CANCELLED : rc;
        if (ev.TaskID == 0)
            return 0;
        events->push_back(ev);
        if (progress)
            progress(unsigned(events->size()));
    }
    return 0;
}

} // namespace vx4
