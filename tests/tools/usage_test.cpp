// vx4ctl's command line: help, bad input (exit 2 before anything is sent), connection
// failures (exit 1) and the connection defaults from vx4pult.ini beside the program.

#include "CtlRunner.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ctltest;

namespace {

const char* const Commands[] = {"identify", "info",     "config", "values", "get",   "set",  "clock",
                                "test-clock", "download", "events", "graduation", "echo", "relay"};

TEST(CtlUsage, HelpForTheToolAndEveryCommand)
{
    const RunResult tool = RunCtl({"--help"});
    EXPECT_EQ(tool.status, 0);
    for (const char* c : Commands) {
        EXPECT_NE(tool.out.find(c), std::string::npos) << c;
        const RunResult r = RunCtl({c, "--help"});
        EXPECT_EQ(r.status, 0) << c;
        EXPECT_NE(r.out.find(std::string("Usage: vx4ctl ") + c), std::string::npos) << c << "\n" << r.out;
    }
}

TEST(CtlUsage, BadInputIsRefusedWithExitTwoBeforeTheDeviceIsAsked)
{
    SimDevice dev;
    struct Case {
        std::vector<std::string> args;
        const char* message; // part of the message on standard error
    };
    const std::string longHex(2 * 256, 'a');
    const Case cases[] = {
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{}, "subcommand is required"},
        {{"identify", "--frob"}, "--frob"},
        {{"identify", "extra"}, "unexpected argument 'extra'"},
        {{"get", "1", "2"}, "'2'"},
        {{"--frob", "identify"}, "--frob"},
        {{"get", "65536"}, "out of range 0..65535"},
        {{"get", "-1"}, "-1"},
        {{"get", "0x10"}, "not an unsigned decimal number"},
        {{"set", "70000", "1"}, "out of range 0..65535"},
        {{"values", "15", "99999"}, "out of range 0..65535"},
        {{"values", "15", "--count", "0"}, "--count"},
        {{"relay", "zz"}, "not hex"},
        {{"relay", "012"}, "odd number of hex digits"},
        {{"relay", longHex}, "longer than 255 bytes"},
        {{"clock", "--set", "32.01.24 00:00:00"}, "not now or a date"},
        {{"clock", "--set", "yesterday"}, "not now or a date"},
        {{"clock", "--set", "29.02.23 12:00:00"}, "not now or a date"},
        {{"echo", "--size", "1016"}, "out of range 0..1015"},
        {{"graduation", "abc"}, "not an unsigned decimal number"},
        {{"--dev", "4294967296", "identify"}, "out of range"},
        {{"--speed", "0", "identify"}, "--speed"},
        {{"download"}, "NAME is required"},
    };
    for (const Case& c : cases) {
        const RunResult r = RunCtl(dev.Args(c.args));
        EXPECT_EQ(r.status, 2) << testing::PrintToString(c.args) << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << testing::PrintToString(c.args) << "\n" << r.err;
        EXPECT_EQ(r.out, "") << testing::PrintToString(c.args);
    }
    const char* const badPorts[] = {"foo", "", "host:", ":5000", "host:99999", "host:0", "COM", "COMx",
                                    "a:b:c", "[::1]5000"};
    for (const char* p : badPorts) {
        const RunResult r = RunCtl({"--port", p, "identify"});
        EXPECT_EQ(r.status, 2) << p;
        EXPECT_NE(r.err.find("cannot parse port"), std::string::npos) << p << "\n" << r.err;
    }
    EXPECT_TRUE(dev.sim.Requests().empty());
}

TEST(CtlUsage, LinkFailuresExitOneWithTheCodeAndTheConsolesText)
{
    const RunResult closed = RunCtl({"--port", "127.0.0.1:" + std::to_string(ClosedPort()), "identify"});
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err.rfind("error 1003", 0), 0u) << closed.err;
    EXPECT_EQ(closed.out, "");

    SimDevice dev;
    const RunResult wrongDevice =
        RunCtl({"--port", dev.PortText(), "--dev", std::to_string(dev.sim.Serial() + 1), "events"});
    EXPECT_EQ(wrongDevice.status, 1);
    EXPECT_EQ(wrongDevice.err, "error 1016 Таймаут ожидания ответа\n");
    EXPECT_EQ(Lines(wrongDevice.out), std::vector<std::string>{"TaskID\tEvCode\tTStamp\tEvCnt\tТекст сообщения\t"});
}

TEST(CtlUsage, ConnectionDefaultsComeFromTheIniBesideTheProgramAndOptionsOverrideThem)
{
    SimDevice dev;
    TempDir dir;
    const std::string program = dir.File("vx4ctl");
    std::filesystem::copy_file(CtlPath(), program);
    const std::string serial = std::to_string(dev.sim.Serial());
    WriteFile(dir.File("vx4pult.ini"), "[CONNECTION]\r\nport=TCP/IP\r\nIP=127.0.0.1\r\nTCPIPport=" +
                                           std::to_string(dev.sim.Port()) + "\r\nspeed=9600\r\nAuxTmout=0\r\ndev_nom=" +
                                           serial + "\r\n");
    const RunResult fromIni = RunProgram(program, {"--json", "identify"});
    ASSERT_EQ(fromIni.status, 0) << fromIni.err;
    EXPECT_EQ(ParseJson(fromIni.out)["serial"], dev.sim.Serial());

    // A wrong device number in the file, put right on the command line.
    WriteFile(dir.File("vx4pult.ini"), "[CONNECTION]\nport=TCP/IP\nIP=127.0.0.1\nTCPIPport=" +
                                           std::to_string(dev.sim.Port()) + "\ndev_nom=1\n");
    EXPECT_EQ(RunProgram(program, {"--dev", serial, "clock"}).status, 0);
    // And the port: the file's port is closed, the option's is the device.
    WriteFile(dir.File("vx4pult.ini"), "[CONNECTION]\nport=TCP/IP\nIP=127.0.0.1\nTCPIPport=" +
                                           std::to_string(ClosedPort()) + "\ndev_nom=" + serial + "\n");
    EXPECT_EQ(RunProgram(program, {"clock"}).status, 1);
    EXPECT_EQ(RunProgram(program, {"--port", dev.PortText(), "clock"}).status, 0);
}

} // namespace
