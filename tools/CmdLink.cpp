// Line tests: echo (the link test) and relay.

#include "Output.h"
#include "Session.h"

#include "link/ResultCodes.h"
#include "link/Vx4prot.h"

#include <cstdio>
#include <iostream>

namespace vx4ctl {

namespace {

// The link test's error class of an echo result: 1 time-out, 2 check bytes, 3 length,
// 4 wrong command, 5 wrong address, 6 anything else (0 for success).
int EchoErrorClass(int rc)
{
    switch (rc) {
    case 0:
        return 0;
    case vx4::LINK_TIMEOUT:
        return 1;
    case vx4::FRAME_CHECK_FAILED:
        return 2;
    case vx4::FRAME_LENGTH_ERROR:
        return 3;
    case vx4::ECHO_WRONG_COMMAND:
        return 4;
    case vx4::ECHO_WRONG_ADDRESS:
        return 5;
    default:
        return 6;
    }
}

const char* const ClassCaptions[6] = {
    "1 - Ошибка ожидания ответа.", "2 - Ошибка контрольной суммы.", "3 - Ошибка длинны ответа.",
    "4 - Неверная команда ответа.", "5 - Неверный адрес ответа.",   "6 - Неизвестная ошибка.",
};

} // namespace

int CmdEcho(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    std::uint32_t errors = 0;
    std::uint32_t classes[6] = {};
    for (std::uint32_t i = 0; i < a.count; ++i) {
        const int cls = EchoErrorClass(vx4::Echo(session.Conn(), address, std::uint16_t(a.size)));
        if (cls != 0) {
            ++errors;
            ++classes[cls - 1];
        }
    }
    const double rate = a.count ? errors * 100.0 / a.count : 0.0;
    if (g.json) {
        PrintJson(Json{{"tests", a.count},
                       {"errors", errors},
                       {"classes", {classes[0], classes[1], classes[2], classes[3], classes[4], classes[5]}}});
        return ExitOk;
    }
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.2f%%", rate);
    PrintField("tests", std::to_string(a.count));
    PrintField("errors", std::to_string(errors));
    PrintField("rate", rateText);
    for (int c = 0; c < 6; ++c)
        PrintField("class" + std::to_string(c + 1), std::to_string(classes[c]) + "\t" + ClassCaptions[c]);
    return ExitOk;
}

int CmdRelay(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    std::uint8_t answer[vx4::MaxRelayPayload];
    std::size_t length = 0;
    const int rc = vx4::Relay(session.Conn(), address, a.payload.data(), a.payload.size(), answer, sizeof answer,
                              &length);
    // The relay hands back what the answer carried also with a device code or a status word.
    if (g.json)
        PrintJson(Json{{"result", rc}, {"answer", HexText(answer, length)}});
    else if (length > 0 || rc == 0)
        std::cout << HexText(answer, length) << '\n';
    if (rc != 0) {
        session.Fail(rc);
        return ExitFailed;
    }
    return ExitOk;
}

} // namespace vx4ctl
