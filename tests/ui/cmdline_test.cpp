// Command-line parsing: the accepted forms, and the lines that are rejected as a whole.
#include "ui/main/CommandLine.h"

#include <gtest/gtest.h>

namespace vx4 {
namespace {

struct Case {
    const char* line;
    bool valid;
    const char* port;
    const char* ip;
    const char* tcpPort;
    std::uint32_t speed;
    std::uint32_t devNo;
};

TEST(CommandLine, ParsesEveryFormAndRejectsFaultyLines) {
    const Case cases[] = {
        {"", false, "", "", "", 0, 0},
        {"/port=COM3 /speed=19200 /dev=5", true, "COM3", "", "", 19200, 5},
        {"/dev=5 /port=COM3 /speed=19200", true, "COM3", "", "", 19200, 5},
        {"   /speed=19200    /dev=5   /port=COM3  ", true, "COM3", "", "", 19200, 5},
        {"/port=COM", true, "COM", "", "", 0, 0},
        {"/port=COM12x", true, "COM12", "", "", 0, 0},
        {"/port=192.168.0.10:10001", true, "TCP/IP", "192.168.0.10", "10001", 0, 0},
        {"/port=127.0.0.1:", true, "TCP/IP", "127.0.0.1", "", 0, 0},
        {"/port=192.168.0.10", false, "", "", "", 0, 0},
        {"/port=host:10001", false, "", "", "", 0, 0},
        {"/port=", false, "", "", "", 0, 0},
        {"/speed=fast", false, "", "", "", 0, 0},
        {"/speed=", false, "", "", "", 0, 0},
        {"/foo=1", false, "", "", "", 0, 0},
        {"/Port=COM1", false, "", "", "", 0, 0},
        {"/port=com1", false, "", "", "", 0, 0}, // lower case is no COM: TCP form without ':'
        {"/", false, "", "", "", 0, 0},
        {"bare word", true, "", "", "", 0, 0},
        {"/dev=0", true, "", "", "", 0, 0},
        {"/dev=7", true, "", "", "", 0, 7},
        {"/speed= 9600", true, "", "", "", 9600, 0},
        {"/speed=+9600", true, "", "", "", 9600, 0},
        {"/speed=-1", true, "", "", "", 4294967295u, 0},
        {"/speed=4294967297", true, "", "", "", 1, 0},
        {"/dev=3 /dev=4", true, "", "", "", 0, 4},
        {"/port=COM1 /port=10.0.0.1:502", true, "TCP/IP", "10.0.0.1", "502", 0, 0},
        {"/dev=9/speed=1200", true, "", "", "", 1200, 9},
        // Linux serial ports are device paths.
        {"/port=/dev/ttyUSB0 /speed=115200", true, "/dev/ttyUSB0", "", "", 115200, 0},
        {"/port=/dev/pts/3", true, "/dev/pts/3", "", "", 0, 0},
        {"/port=/ /dev=1", false, "", "", "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        CommandLineOptions o;
        ParseCommandLine(c.line, o);
        EXPECT_EQ(o.valid, c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(o.port, c.port);
        EXPECT_EQ(o.ip, c.ip);
        EXPECT_EQ(o.tcpPort, c.tcpPort);
        EXPECT_EQ(o.speed, c.speed);
        EXPECT_EQ(o.devNo, c.devNo);
    }
}

TEST(CommandLine, FaultAfterGoodOptionsInvalidatesTheWholeLine) {
    CommandLineOptions o;
    ParseCommandLine("/port=COM3 /dev=5 /speed=fast /dev=6", o);
    EXPECT_FALSE(o.valid);
    // Values stored before the fault stay, the scan stopped at the fault.
    EXPECT_EQ(o.port, "COM3");
    EXPECT_EQ(o.devNo, 5u);
}

TEST(CommandLine, ScanNeverReadsPastTheEnd) {
    // Each prefix of an option, cut anywhere, must parse without reading beyond the text.
    const std::string full = "/port=192.168.0.10:10001 /speed=19200 /dev=5 /port=COM7";
    // (The sanitizer build catches a read past the end; here every value taken must come
    // from the text before the cut.)
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const std::string prefix = full.substr(0, n);
        CommandLineOptions o;
        ParseCommandLine(prefix, o);
        SCOPED_TRACE(prefix);
        EXPECT_NE(prefix.find(o.ip), std::string::npos);
        EXPECT_NE(prefix.find(o.tcpPort), std::string::npos);
        EXPECT_TRUE(o.port == "TCP/IP" || prefix.find(o.port) != std::string::npos) << o.port;
        if (o.speed != 0) {
            EXPECT_NE(prefix.find("=" + std::to_string(o.speed)), std::string::npos);
        }
        if (o.devNo != 0) {
            EXPECT_NE(prefix.find("=" + std::to_string(o.devNo)), std::string::npos);
        }
        if (prefix.empty()) {
            EXPECT_FALSE(o.valid);
        }
    }
    CommandLineOptions o;
    ParseCommandLine(full, o);
    EXPECT_TRUE(o.valid);
    EXPECT_EQ(o.port, "COM7");
    EXPECT_EQ(o.ip, "192.168.0.10");
}

TEST(CommandLine, JoinsArgumentsWithSingleSpaces) {
    char a0[] = "vx4pult", a1[] = "/port=COM2", a2[] = "/dev=3";
    char* argv[] = {a0, a1, a2};
    EXPECT_EQ(JoinArguments(3, argv), "/port=COM2 /dev=3");
    EXPECT_EQ(JoinArguments(1, argv), "");
}

} // namespace
} // namespace vx4
