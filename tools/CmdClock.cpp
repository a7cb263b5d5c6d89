// The device clock: read, set, test.

#include "Output.h"
#include "Session.h"

#include "common/ClockText.h"
#include "link/Frames.h"
#include "link/Vx4prot.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace vx4ctl {

namespace {

// Largest difference between the clock read back and the time sent (plus the time since)
// that still counts as set: the device counts whole seconds, and the read back takes one
// exchange.
constexpr long long MaxClockDifference = 2;
// How long the device may take to answer the set command (its wait).
constexpr std::uint32_t SetAnswerWaitMs = 300;

} // namespace

int CmdClock(const GlobalOptions& g, const CommandArgs& a)
{
    vx4::DeviceClock clock;
    if (a.setClock) {
        if (a.text == "now") {
            const std::time_t now = std::time(nullptr);
            std::tm t{};
            if (a.utc)
                gmtime_r(&now, &t);
            else
                localtime_r(&now, &t);
            clock = vx4::DeviceClockFromTm(t);
        } else if (!vx4::ParseClockText(a.text, &clock) && !vx4::ParseIsoClockText(a.text, &clock)) {
            PrintFailure("'" + a.text + "' is not now, a date DD.MM.YY HH:MM:SS nor YYYY-MM-DDTHH:MM:SS");
            return ExitUsage;
        }
    }
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    if (!a.setClock) {
        if (int rc = vx4::ReadClock(session.Conn(), address, &clock); rc != 0) {
            session.Fail(rc);
            return ExitFailed;
        }
        if (g.json)
            PrintJson(Json{{"clock", DeviceTimeJson(clock.bcd, a.utc)}, {"text", vx4::ClockText(clock)}});
        else
            std::cout << vx4::ClockText(clock) << '\n';
        return ExitOk;
    }

    // The set command reads no answer, so the clock is read before and after: a device that
    // is not there, or did not take the time, fails the read back or shows another time.
    vx4::DeviceClock before;
    if (int rc = vx4::ReadClock(session.Conn(), address, &before); rc != 0) {
        session.Fail(rc);
        std::cerr << "  reading the clock before setting it failed; nothing was sent\n";
        return ExitFailed;
    }
    const auto sentAt = std::chrono::steady_clock::now();
    if (int rc = vx4::SetClock(session.Conn(), address, clock); rc != 0) {
        session.Fail(rc);
        return ExitFailed;
    }
    // The device may answer the set; its answer, read off the line here, must not pass for
    // the answer of the read back (a TCP link has nothing to purge it with).
    {
        std::uint8_t answer[vx4::FrameCapacity];
        std::size_t received = 0;
        session.Conn().ReceiveFrame(answer, sizeof answer, &received, SetAnswerWaitMs, 1);
    }
    vx4::DeviceClock after;
    const int readBack = vx4::ReadClock(session.Conn(), address, &after);
    const long long elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - sentAt).count();
    std::time_t sentSeconds = 0, afterSeconds = 0;
    const bool comparable = readBack == 0 && DeviceTimeSeconds(clock.bcd, a.utc, &sentSeconds) &&
                            DeviceTimeSeconds(after.bcd, a.utc, &afterSeconds);
    const long long difference = comparable ? (long long)(afterSeconds - sentSeconds) - elapsed : 0;

    if (g.json) {
        Json j{{"before", DeviceTimeJson(before.bcd, a.utc)},
               {"sent", DeviceTimeJson(clock.bcd, a.utc)},
               {"after", readBack == 0 ? DeviceTimeJson(after.bcd, a.utc) : Json(nullptr)}};
        j["difference"] = comparable ? Json(difference) : Json(nullptr);
        PrintJson(j);
    } else {
        PrintField("before", vx4::ClockText(before));
        PrintField("sent", vx4::ClockText(clock));
        if (readBack == 0)
            PrintField("after", vx4::ClockText(after));
        if (comparable)
            PrintField("difference", std::to_string(difference) + " s");
    }
    if (readBack != 0) {
        session.Fail(readBack);
        std::cerr << "  reading the clock back failed: the device may not have taken the time\n";
        return ExitFailed;
    }
    if (!comparable || std::llabs(difference) > MaxClockDifference) {
        std::cerr << "vx4ctl: the clock read back (" << vx4::ClockText(after) << ") is not the time sent ("
                  << vx4::ClockText(clock) << "): the device did not take it\n";
        return ExitFailed;
    }
    return ExitOk;
}

int CmdTestClock(const GlobalOptions& g, const CommandArgs&)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    const int rc = vx4::TestClock(session.Conn(), address);
    if (g.json)
        PrintJson(Json{{"passed", rc == 0}, {"result", rc}});
    if (rc > 0) {
        PrintError(rc, "Ошибка (Проверь SMODE)");
        return ExitFailed;
    }
    if (rc < 0) {
        PrintError(rc, "VX-4 недоступен");
        std::cerr << "  tried " << session.Where() << "; --dev 0 finds the device whatever its number\n";
        return ExitFailed;
    }
    if (!g.json)
        std::cout << "ok\n";
    return ExitOk;
}

} // namespace vx4ctl
