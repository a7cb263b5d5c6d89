// The device clock: read, set, test.

#include "Output.h"
#include "Session.h"

#include "common/ClockText.h"
#include "link/Vx4prot.h"

#include <ctime>
#include <iostream>

namespace vx4ctl {

int CmdClock(const GlobalOptions& g, const CommandArgs& a)
{
    vx4::DeviceClock clock;
    if (a.setClock) {
        if (a.text == "now") {
            const std::time_t now = std::time(nullptr);
            std::tm t{};
            localtime_r(&now, &t);
            clock = vx4::DeviceClockFromTm(t);
        } else if (!vx4::ParseClockText(a.text, &clock)) {
            PrintFailure("'" + a.text + "' is not now or a date DD.MM.YY HH:MM:SS");
            return ExitUsage;
        }
    }
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    if (a.setClock) {
        // The device's answer is not awaited: the result is that of the send.
        if (int rc = vx4::SetClock(session.Conn(), address, clock); rc != 0) {
            PrintError(rc);
            return ExitFailed;
        }
    } else if (int rc = vx4::ReadClock(session.Conn(), address, &clock); rc != 0) {
        PrintError(rc);
        return ExitFailed;
    }
    std::cout << vx4::ClockText(clock) << '\n';
    return ExitOk;
}

int CmdTestClock(const GlobalOptions& g, const CommandArgs&)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    const int rc = vx4::TestClock(session.Conn(), address);
    if (rc > 0) {
        PrintError(rc, "Ошибка (Проверь SMODE)");
        return ExitFailed;
    }
    if (rc < 0) {
        PrintError(rc, "VX-4 недоступен");
        return ExitFailed;
    }
    std::cout << "ok\n";
    return ExitOk;
}

} // namespace vx4ctl
