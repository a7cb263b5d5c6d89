// Commands that describe the device: identify and info.

#include "Output.h"
#include "Session.h"

#include "common/ClockText.h"
#include "link/Vx4prot.h"

#include <iostream>

namespace vx4ctl {

int CmdIdentify(const GlobalOptions& g, const CommandArgs&)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    vx4::SDevIdent ident;
    if (int rc = vx4::Identify(session.Conn(), address, &ident); rc != 0) {
        session.Fail(rc);
        return ExitFailed;
    }
    if (g.json)
        PrintJson(IdentJson(ident));
    else
        PrintIdentText(ident);
    return ExitOk;
}

namespace {

const char* const ArchiveNames[vx4::SArchiveInfo::Count] = {"hourly", "daily", "monthly", "yearly", "events"};

} // namespace

Json InfoJson(const vx4::SDevIdent& ident, const vx4::SConfigInfo& summary, bool namesAreUtf8,
              const vx4::SArchiveInfo* archives, const vx4::DeviceClock& clock)
{
    Json archiveList = Json::array();
    for (int i = 0; i < vx4::SArchiveInfo::Count; ++i)
        archiveList.push_back({{"index", i},
                               {"name", ArchiveNames[i]},
                               {"lastRecord", archives[i].lastRecord},
                               {"flags", archives[i].flags},
                               {"startAddress", archives[i].startAddress},
                               {"rowsMinusOne", archives[i].rowsMinusOne}});
    return Json{{"ident", IdentJson(ident)},
                {"summary", SummaryJson(summary, namesAreUtf8)},
                {"archives", archiveList},
                {"clock", DeviceTimeJson(clock.bcd)}};
}

int CmdInfo(const GlobalOptions& g, const CommandArgs&)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    vx4::connection& conn = session.Conn();

    vx4::SDevIdent ident;
    vx4::SConfigInfo summary;
    vx4::SArchiveInfo archives[vx4::SArchiveInfo::Count];
    vx4::DeviceClock clock;
    int rc = vx4::Identify(conn, address, &ident);
    if (rc == 0)
        rc = vx4::ReadConfigSummary(conn, address, &summary);
    for (int i = 0; rc == 0 && i < vx4::SArchiveInfo::Count; ++i)
        rc = vx4::ReadArchiveInfo(conn, address, std::uint8_t(i), &archives[i]);
    if (rc == 0)
        rc = vx4::ReadClock(conn, address, &clock);
    if (rc != 0) {
        session.Fail(rc);
        return ExitFailed;
    }

    const Json info = InfoJson(ident, summary, false, archives, clock);
    if (g.json) {
        PrintJson(info);
        return ExitOk;
    }
    PrintIdentText(ident);
    PrintSummaryText(info["summary"]);
    for (const auto& arc : info["archives"])
        PrintField("archive", arc["index"].dump() + "\t" + arc["name"].get<std::string>() +
                                  "\tlastRecord=" + arc["lastRecord"].dump() + "\tflags=" + arc["flags"].dump() +
                                  "\tstartAddress=" + arc["startAddress"].dump() +
                                  "\trowsMinusOne=" + arc["rowsMinusOne"].dump());
    PrintField("clock", vx4::ClockText(clock));
    return ExitOk;
}

} // namespace vx4ctl
