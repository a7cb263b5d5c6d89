// vx4ctl's command line: help, bad input (exit 2 before anything is sent), connection
// failures (exit 1) and the connection defaults from vx4pult.ini beside the program.

#include "CtlRunner.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace ctltest;

namespace {

const char* const Commands[] = {"identify", "info",     "config", "values", "get",   "set",  "clock",
                                "test-clock", "download", "events", "graduation", "echo", "relay"};

TEST(CtlUsage, HelpForTheToolAndEveryCommand)
{
    const RunResult tool = RunCtl({"--help"});
    EXPECT_EQ(tool.status, 0);
    EXPECT_EQ(tool.out.find("Usage: vx4ctl [OPTIONS] COMMAND [ARGS]...\n"), tool.out.find("Usage:")) << tool.out;
    EXPECT_EQ(tool.out.find("[]"), std::string::npos) << tool.out;
    EXPECT_NE(tool.out.find("128+N"), std::string::npos) << "the exit status after a signal";
    const RunResult version = RunCtl({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("vx4ctl ") + VX4_VERSION + "\n");
    // What the help must tell: events are taken off the device, the files' encodings, local time.
    const struct {
        const char* command;
        const char* says;
    } tells[] = {{"events", "takes the events"}, {"events", "CP1251"}, {"graduation", "CP1251"},
                 {"clock", "local time"},    {"clock", "--utc"},     {"download", "- : standard output"},
                 {"values", "--interval"}};
    for (const auto& t : tells)
        EXPECT_NE(RunCtl({t.command, "--help"}).out.find(t.says), std::string::npos) << t.command << ": " << t.says;
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
        {{"frobnicate"}, "unknown command 'frobnicate'\n"},
        {{"idnetify"}, "unknown command 'idnetify'; did you mean 'identify'?"},
        {{"evnts"}, "did you mean 'events'?"},
        {{}, "a command is required"},
        {{"--json", "download", "main.xmc"}, "--json: download prints no data"},
        {{"monitor", "vx3c", "--json"}, "--json: monitor prints no data"},
        {{"identify", "--frob"}, "--frob"},
        {{"identify", "extra"}, "unexpected argument 'extra'"},
        {{"get", "1", "2"}, "'2'"},
        {{"--frob", "identify"}, "--frob"},
        {{"get", "65536"}, "out of range 0..65535"},
        {{"get", "-1"}, "-1"},
        {{"get", "0x10"}, "not an unsigned decimal number"},
        {{"set", "70000", "1"}, "out of range 0..65535"},
        {{"values", "15", "99999"}, "out of range 0..65535"},
        {{"echo", "--count", "0"}, "--count"},
        {{"values", "15", "--interval", "50"}, "--interval: at least 100 ms"},
        {{"relay", "zz"}, "not hex"},
        {{"relay", "012"}, "odd number of hex digits"},
        {{"relay", longHex}, "longer than 255 bytes"},
        {{"clock", "--set", "32.01.24 00:00:00"}, "is not now, a date"},
        {{"clock", "--set", "yesterday"}, "is not now, a date"},
        {{"clock", "--set", "29.02.23 12:00:00"}, "is not now, a date"},
        {{"clock", "--set", "2023-02-29T12:00:00"}, "YYYY-MM-DDTHH:MM:SS"},
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

TEST(CtlUsage, LinkFailuresSayWhatWasTriedAndWhy)
{
    SimDevice dev;
    const std::string closedPort = "127.0.0.1:" + std::to_string(ClosedPort());
    const std::string wrongDev = std::to_string(dev.sim.Serial() + 1);
    // A peer that takes the connection and closes it at once.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::thread closer([listener] {
        const int c = ::accept(listener, nullptr, nullptr);
        if (c >= 0)
            ::close(c);
    });
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> says; // each must be on standard error
    };
    const Case cases[] = {
        {{"--port", closedPort, "identify"},
         {"error 1003 cannot open " + closedPort + ": Connection refused", "tried port " + closedPort + " (option)"}},
        {{"--port", "/dev/vx4-no-such-port", "identify"},
         {"error 1003 cannot open /dev/vx4-no-such-port: No such file or directory", "speed 115200 (default)",
          "device 1 (default)"}},
        {{"--port", "/dev/null", "identify"}, {"/dev/null: not a serial port"}},
        {{"--port", dev.PortText(), "--dev", wrongDev, "events"},
         {"error 1016 Таймаут ожидания ответа\n", "tried port " + dev.PortText() + " (option), device " + wrongDev +
                                                      " (option)",
          "--dev 0 finds the device"}},
        {{"--port", "127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), "--dev", "5", "identify"},
         {"error 1003 Связь не открыта", "went down"}},
        {{"--port", dev.PortText(), "--dev", std::to_string(dev.sim.Serial()), "relay", "0002"},
         {"error 1 the device refused the request"}},
    };
    for (const Case& c : cases) {
        const RunResult r = RunCtl(c.args);
        EXPECT_EQ(r.status, 1) << testing::PrintToString(c.args) << "\n" << r.err;
        for (const std::string& s : c.says)
            EXPECT_NE(r.err.find(s), std::string::npos) << testing::PrintToString(c.args) << ": " << s << "\n" << r.err;
    }
    closer.join();
    ::close(listener);
    // Whatever was read before a failure is printed: the title row of the events.
    const RunResult events = RunCtl({"--port", dev.PortText(), "--dev", wrongDev, "events"});
    EXPECT_EQ(Lines(events.out), std::vector<std::string>{"TaskID\tEvCode\tTStamp\tEvCnt\tТекст сообщения\t"});
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

TEST(CtlUsage, AMissingTemplateNamesTheFoldersSearched)
{
    if (FileExists("/usr/share/vx4pult/Matrix/карта_параметров_шаблон.dotx"))
        GTEST_SKIP() << "the package is installed here: its templates are found";
    SimDevice dev;
    TempDir dir; // a copy of the program with nothing beside it
    const std::string program = dir.File("vx4ctl");
    std::filesystem::copy_file(CtlPath(), program);
    const RunResult r = RunProgram(program, dev.Args({"report"}), dir.Path(), false,
                                   {"HOME=" + dir.Path(), "XDG_DATA_HOME=" + dir.File("data")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Matrix/карта_параметров_шаблон.dotx was not found in the current folder, " + dir.Path() +
                         "/, " + dir.File("data") + "/vx4pult/"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(dev.sim.Requests().empty()); // found out before the device is asked
}

TEST(CtlUsage, EveryProgramTellsItsVersionAndHelp)
{
    const std::string extcap = std::string(VX4_BINARY_DIR) + "/tools/vx4-extcap";
    const struct {
        std::string program, name;
    } programs[] = {{CtlPath(), "vx4ctl"}, {SimPath(), "vx4sim"}, {extcap, "vx4-extcap"}};
    for (const auto& p : programs) {
        const RunResult version = RunProgram(p.program, {"--version"});
        EXPECT_EQ(version.status, 0) << p.name << version.err;
        EXPECT_EQ(version.out, p.name + " " + VX4_VERSION + "\n");
        const RunResult help = RunProgram(p.program, {"--help"});
        EXPECT_EQ(help.status, 0) << p.name << help.err;
        EXPECT_NE(help.out.find("Usage: " + p.name), std::string::npos) << help.out;
    }
}

} // namespace
