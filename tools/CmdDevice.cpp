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

    Json archiveList = Json::array();
    for (int i = 0; i < vx4::SArchiveInfo::Count; ++i)
        archiveList.push_back({{"index", i},
                               {"name", ArchiveNames[i]},
                               {"lastRecord", archives[i].lastRecord},
                               {"flags", archives[i].flags},
                               {"startAddress", archives[i].startAddress},
                               {"rowsMinusOne", archives[i].rowsMinusOne}});
    const Json summaryJson = SummaryJson(summary, false);
    if (g.json) {
        PrintJson(Json{{"ident", IdentJson(ident)},
                       {"summary", summaryJson},
                       {"archives", archiveList},
                       {"clock", DeviceTimeJson(clock.bcd)}});
        return ExitOk;
    }
    PrintIdentText(ident);
    PrintSummaryText(summaryJson);
    for (const auto& arc : archiveList)
        PrintField("archive", arc["index"].dump() + "\t" + arc["name"].get<std::string>() +
                                  "\tlastRecord=" + arc["lastRecord"].dump() + "\tflags=" + arc["flags"].dump() +
                                  "\tstartAddress=" + arc["startAddress"].dump() +
                                  "\trowsMinusOne=" + arc["rowsMinusOne"].dump());
    PrintField("clock", vx4::ClockText(clock));
    return ExitOk;
}

} // namespace vx4ctl
