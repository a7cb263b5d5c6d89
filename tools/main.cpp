// vx4ctl: argument parsing and dispatch to the command groups.

#include "CmdPublish.h"
#include "Ctl.h"
#include "Output.h"

#include "common/ClockText.h"
#include "link/Vx4prot.h"

#include <csignal>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <functional>

#include <unistd.h>
#include <iostream>

namespace vx4ctl {
namespace {

// A validator from one of the text parsers: the parser's message is the error.
CLI::Validator TextCheck(std::function<std::string(const std::string&)> check, const std::string& name)
{
    return CLI::Validator(std::move(check), name);
}

CLI::Validator UnsignedCheck(std::uint64_t max)
{
    return TextCheck(
        [max](const std::string& s) {
            std::uint64_t v;
            return ParseUnsigned(s, max, &v);
        },
        "");
}

std::uint64_t ToUnsigned(const std::string& s)
{
    std::uint64_t v = 0;
    ParseUnsigned(s, ~std::uint64_t(0), &v);
    return v;
}

// The folder of a file to be written exists and takes files, so that a long run is not
// lost at its end.
std::string WritableFolderCheck(const std::string& file)
{
    const std::size_t slash = file.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write into the folder of " + file + ": " + std::strerror(errno);
    return {};
}

struct Texts {
    std::string port, speed, dev, aux;
    std::vector<std::string> ids;
    std::string id, count, size, address, hex, clockSet;
};

int Run(int argc, char** argv)
{
    CLI::App app{"vx4ctl: the VX-4 console's core from the command line", "vx4ctl"};
    app.require_subcommand(1);
    app.footer("Connection defaults come from the CONNECTION section of vx4pult.ini beside the program\n"
               "(in $XDG_CONFIG_HOME/vx4pult, default ~/.config/vx4pult, when that folder is not writable);\n"
               "the options override them. Exit status: 0 success, 1 device or link failure, 2 bad usage.");

    GlobalOptions g;
    CommandArgs a;
    Texts t;

    app.add_option("--port", t.port, "serial port (a device path such as /dev/ttyUSB0, or COMn), or HOST:PORT for TCP")
        ->check(TextCheck(
            [](const std::string& s) {
                PortSpec p;
                return ParsePort(s, &p);
            },
            ""))
        ->type_name("P")
        ->take_last();
    app.add_option("--speed", t.speed, "serial line speed")
        ->check(UnsignedCheck(0xFFFFFFFFu))
        ->type_name("N")
        ->take_last();
    app.add_option("--dev", t.dev, "device number; 0 finds the device through the any-device address")
        ->check(UnsignedCheck(0xFFFFFFFFu))
        ->type_name("N")
        ->take_last();
    app.add_option("--aux", t.aux, "extra answer delay in ms")
        ->check(UnsignedCheck(0xFFFFFFFFu))
        ->type_name("MS")
        ->take_last();
    app.add_flag("--json", g.json, "JSON output for the commands that have it");

    const CLI::Validator idCheck = UnsignedCheck(65535);
    using Command = int (*)(const GlobalOptions&, const CommandArgs&);
    Command command = nullptr;
    auto sub = [&](const char* name, const char* help, Command fn) {
        CLI::App* s = app.add_subcommand(name, help);
        s->fallthrough();
        s->callback([&command, fn] { command = fn; });
        return s;
    };

    sub("identify", "the identification record (with --dev 0 the address is learned) [JSON]", CmdIdentify);
    sub("info", "identification, summary with systems, the five archive descriptors, clock [JSON]", CmdInfo);
    sub("config", "read the whole configuration as the console does and print every item [JSON]", CmdConfig);

    CLI::App* values = sub("values", "poll calculated values once a second, one line per cycle [JSON]", CmdValues);
    values->add_option("ID", t.ids, "identifiers of calculated values")->type_name("ID")->required()->check(idCheck);
    values->add_option("--count", t.count, "number of cycles (default 1)")->type_name("N")->check(UnsignedCheck(0xFFFFFFFFu));
    values->add_option("--xlsx", a.xlsxFile, "also write the samples as a spreadsheet, as the console's table export")
        ->type_name("FILE")
        ->check(TextCheck(WritableFolderCheck, ""));

    CLI::App* get = sub("get", "the device's text of item ID", CmdGet);
    get->add_option("ID", t.id, "item identifier")->type_name("ID")->required()->check(idCheck);

    CLI::App* set = sub("set", "write constant ID, formatted like the device's current text", CmdSet);
    set->add_option("ID", t.id, "constant identifier")->type_name("ID")->required()->check(idCheck);
    set->add_option("TEXT", a.text, "the new value")->type_name("TEXT")->required();

    CLI::App* clock = sub("clock", "read the device clock, or set it", CmdClock);
    clock->add_option("--set", t.clockSet, "now, or \"DD.MM.YY HH:MM:SS\"")
        ->check(TextCheck(
            [](const std::string& s) {
                vx4::DeviceClock c;
                return s == "now" || vx4::ParseClockText(s, &c) ? std::string()
                                                              : "'" + s + "' is not now or a date DD.MM.YY HH:MM:SS";
            },
            ""))
        ->type_name("now|\"DD.MM.YY HH:MM:SS\"");

    sub("test-clock", "the clock test; exit 0 when it passes", CmdTestClock);

    CLI::App* download = sub("download", "download device file NAME", CmdDownload);
    download->add_option("NAME", a.name, "the device file name")->type_name("NAME")->required();
    download->add_option("-o", a.outFile, "local file (default: NAME in the current folder)")->type_name("FILE");

    CLI::App* events = sub("events", "the system events, tab-separated with the title row", CmdEvents);
    events->add_option("-o", a.outFile, "file to save them in (default: standard output)")->type_name("FILE");

    CLI::App* grad = sub("graduation", "transducer ADDR's graduation pairs as a table, or a .dar file", CmdGraduation);
    grad->add_option("ADDR", t.address, "transducer address (serial number)")
        ->type_name("ADDR")
        ->required()
        ->check(UnsignedCheck(0xFFFFFFFFu));
    grad->add_option("-o", a.outFile, ".dar file to write")->type_name("FILE");

    CLI::App* echo = sub("echo", "link test: echo requests, errors by class and the error rate [JSON]", CmdEcho);
    echo->add_option("--size", t.size, "bytes per request, 0..1015 (default 1015)")->type_name("N")->check(UnsignedCheck(1015));
    echo->add_option("--count", t.count, "number of requests (default 100)")->type_name("N")->check(UnsignedCheck(0xFFFFFFFFu));

    CLI::App* relay = sub("relay", "one relay request with this payload; prints the answer as hex", CmdRelay);
    relay->add_option("HEX", t.hex, "payload as hex, at most 255 bytes")
        ->type_name("HEX")
        ->required()
        ->check(TextCheck(
            [](const std::string& s) {
                std::vector<std::uint8_t> bytes;
                return ParseHex(s, vx4::MaxRelayPayload, &bytes);
            },
            ""));

    CLI::App* report = sub("report", "the parameter map and the graduation tables as .docx documents; prints their paths",
                           CmdReport);
    report->add_option("-o", a.outFile, "folder for the documents (default: the user's Reports folder)")->type_name("DIR");

    // monitor: listens only; prints the monitor windows' lines.
    std::string monitorCount;
    CLI::App* monitor = sub("monitor", "listen on the line without sending and print a line per frame", CmdMonitor);
    monitor->add_option("KIND", a.monitorKind, "vx3c or vx2")
        ->type_name("vx3c|vx2")
        ->required()
        ->check(CLI::IsMember({"vx3c", "vx2"}));
    monitor->add_flag("--raw", a.raw, "plain bytes instead of decoded fields");
    monitor->add_option("--filter", a.filter, "vx2: all frames, requests only or answers only (default all)")
        ->type_name("all|requests|answers")
        ->check(CLI::IsMember({"all", "requests", "answers"}));
    monitor->add_option("--count", monitorCount, "stop after N frames (pieces read off the line; failure lines and separators do not count)")->type_name("N")->check(UnsignedCheck(0xFFFFFFFFu));
    monitor->add_option("--seconds", a.seconds, "stop after S seconds")->type_name("S")->check(CLI::PositiveNumber);
    monitor->add_option("--pcap", a.pcapFile, "also write the capture to a pcap file; - writes it to standard output, "
                                                      "flushed piece by piece, and the lines to standard error")->type_name("FILE");

    AddPublishOptions(sub("publish", "publish the values to an MQTT broker, cycle by cycle, until stopped", CmdPublish));

    // A word where the command belongs that names no command lands here.
    std::string unknownCommand;
    app.add_option("unknown", unknownCommand)->group("");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (!unknownCommand.empty() && e.get_exit_code() != 0) {
            std::cerr << "unknown command '" << unknownCommand << "'\nRun with --help for more information.\n";
            return ExitUsage;
        }
        const int rc = app.exit(e);
        return rc == 0 ? ExitOk : ExitUsage;
    }
    if (!unknownCommand.empty()) { // a word the command takes no argument for
        std::cerr << "unexpected argument '" << unknownCommand << "'\nRun with --help for more information.\n";
        return ExitUsage;
    }

    if (!t.port.empty()) {
        PortSpec p;
        ParsePort(t.port, &p);
        g.port = p;
    }
    if (!t.speed.empty())
        g.speed = std::uint32_t(ToUnsigned(t.speed));
    if (!t.dev.empty())
        g.dev = std::uint32_t(ToUnsigned(t.dev));
    if (!t.aux.empty())
        g.aux = std::uint32_t(ToUnsigned(t.aux));
    if (g.speed && *g.speed == 0) {
        std::cerr << "--speed: the line speed must not be 0\n";
        return ExitUsage;
    }
    for (const std::string& s : t.ids)
        a.ids.push_back(std::uint16_t(ToUnsigned(s)));
    if (!t.id.empty())
        a.id = std::uint16_t(ToUnsigned(t.id));
    if (!t.count.empty())
        a.count = std::uint32_t(ToUnsigned(t.count));
    else if (command == CmdEcho)
        a.count = 100;
    if (a.count == 0) {
        std::cerr << "--count: at least one cycle\n";
        return ExitUsage;
    }
    if (!monitorCount.empty()) {
        a.lineLimit = ToUnsigned(monitorCount);
        if (a.lineLimit == 0) {
            std::cerr << "--count: at least one frame\n";
            return ExitUsage;
        }
    }
    if (!t.size.empty())
        a.size = std::uint32_t(ToUnsigned(t.size));
    if (!t.address.empty())
        a.address = std::uint32_t(ToUnsigned(t.address));
    if (!t.hex.empty())
        ParseHex(t.hex, vx4::MaxRelayPayload, &a.payload);
    if (!t.clockSet.empty()) {
        a.setClock = true;
        a.text = t.clockSet;
    }
    return command(g, a);
}

} // namespace
} // namespace vx4ctl

int main(int argc, char** argv)
{
    // Output to a reader that went away fails with EPIPE and is reported as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    return vx4ctl::Run(argc, argv);
}
