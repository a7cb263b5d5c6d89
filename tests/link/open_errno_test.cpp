// A link that fails to open keeps the system's reason, so that a report can say why: refused,
// no such port, not a serial port, a name that does not resolve.

#include "link/Comlink.h"
#include "link/ResultCodes.h"
#include "link/Tcpiplink.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// A loopback port nothing listens on: bound, then closed.
std::string ClosedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return std::to_string(ntohs(a.sin_port));
}

TEST(LinkOpenErrno, AFailedOpeningKeepsTheSystemsReason)
{
    vx4::CTCPIPLink refused("127.0.0.1", ClosedLoopbackPort());
    EXPECT_EQ(refused.Open(true), vx4::LINK_NOT_OPEN);
    EXPECT_EQ(refused.OpenErrno(), ECONNREFUSED);

    vx4::CTCPIPLink unresolved("127.0.0.1", "1");
    unresolved.SetResolver([](const std::string&, const std::string&) { return std::vector<vx4::CTCPIPLink::Address>{}; });
    EXPECT_EQ(unresolved.Open(true), vx4::LINK_NOT_OPEN);
    EXPECT_EQ(unresolved.OpenErrno(), 0); // no system reason: the name does not resolve

    struct Case {
        const char* port;
        int error;
    };
    for (const Case& c : {Case{"/dev/vx4-no-such-port", ENOENT}, Case{"/dev/null", ENOTTY}}) {
        vx4::CComLink serial(c.port, 9600, 0);
        EXPECT_EQ(serial.Open(true), vx4::LINK_NOT_OPEN) << c.port;
        EXPECT_EQ(serial.OpenErrno(), c.error) << c.port;
    }
}

} // namespace
