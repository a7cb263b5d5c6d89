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
#include <algorithm>
#include <functional>
#include <memory>

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

// The tool's own usage line: CLI11's would show the hidden word that catches unknown
// commands as "[]".
class Formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App* app, std::string name) const override
    {
        if (app->get_parent() == nullptr)
            return "Usage: " + name + " [OPTIONS] COMMAND [ARGS]...\n";
        return CLI::Formatter::make_usage(app, name);
    }
};

struct Texts {
    std::string port, speed, dev, aux;
    std::vector<std::string> ids;
    std::string id, count, size, address, hex, clockSet, interval;
    std::vector<std::string> setArgs;
};

int Run(int argc, char** argv)
{
    CLI::App app{"vx4ctl: the VX-4 console's core from the command line", "vx4ctl"};
    auto formatter = std::make_shared<Formatter>();
    app.formatter(formatter);
    app.require_subcommand(1);
    app.set_version_flag("--version", "vx4ctl " VX4_VERSION);
    app.footer("Connection defaults come from the CONNECTION section of vx4pult.ini beside the program\n"
               "(in $XDG_CONFIG_HOME/vx4pult, default ~/.config/vx4pult, when that folder is not writable);\n"
               "the options override them; without either, the port is /dev/ttyS0 (COM1) and the device 1.\n"
               "Times in JSON are ISO 8601 with the zone; the device keeps no zone, so its clock is taken\n"
               "as the computer's local time. Text output is UTF-8.\n"
               "Exit status: 0 success, 1 device or link failure, 2 bad usage, 128+N when stopped by\n"
               "signal N (130 for Ctrl+C, 143 for SIGTERM).");

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
    app.add_flag("--json", g.json, "JSON output, one document a line (commands marked [JSON]; the others refuse it)");

    const CLI::Validator idCheck = UnsignedCheck(65535);
    using Command = int (*)(const GlobalOptions&, const CommandArgs&);
    Command command = nullptr;
    // Commands that print data take --json (their help ends in [JSON]); the others refuse it.
    enum class Output { Text, Json };
    bool commandTakesJson = false;
    auto sub = [&](const char* name, std::string help, Command fn, Output output = Output::Text) {
        if (output == Output::Json)
            help.insert(std::min(help.find('\n'), help.size()), " [JSON]");
        CLI::App* s = app.add_subcommand(name, help);
        s->group("Commands");
        s->fallthrough();
        s->callback([&command, &commandTakesJson, fn, output] {
            command = fn;
            commandTakesJson = output == Output::Json;
        });
        return s;
    };

    sub("identify", "the identification record (with --dev 0 the address is learned)", CmdIdentify, Output::Json);
    sub("info", "identification, summary with systems, the five archive descriptors, clock", CmdInfo, Output::Json);
    sub("config", "read the whole configuration as the console does and print every item", CmdConfig, Output::Json);

    CLI::App* values = sub("values", "poll calculated values, a header row and then one line per sample", CmdValues,
                           Output::Json);
    values->add_option("ID", t.ids, "identifiers of calculated values")->type_name("ID")->required()->check(idCheck);
    values->add_option("--count", t.count, "number of samples (default 1; 0: until Ctrl+C, which then ends with status 0)")
        ->type_name("N")
        ->check(UnsignedCheck(0xFFFFFFFFu));
    values->add_option("--interval", t.interval, "time between samples in ms, 100..3600000 (default 1000)")
        ->type_name("MS")
        ->check(UnsignedCheck(3600000));
    values->add_option("--xlsx", a.xlsxFile, "also write the samples as a spreadsheet, as the console's table export")
        ->type_name("FILE")
        ->check(TextCheck(WritableFolderCheck, ""));

    CLI::App* get = sub("get", "the device's text of item ID", CmdGet, Output::Json);
    get->add_option("ID", t.id, "item identifier")->type_name("ID")->required()->check(idCheck);

    CLI::App* set = sub("set",
                        "write constants: ID TEXT, or ID=TEXT... all after one configuration read; prints\n"
                        "\"ID name: old -> new\" in the device's own format and warns when that format rounds",
                        CmdSet, Output::Json);
    set->add_option("ARGS", t.setArgs, "ID TEXT, or one or more ID=TEXT")->type_name("ID=TEXT...")->required();

    CLI::App* clock = sub("clock",
                          "read the device clock, or set it and read it back: prints the time before, the\n"
                          "time sent, the time after and the difference; exit 1 when the read back fails\n"
                          "or differs by more than 2 s",
                          CmdClock, Output::Json);
    clock->add_option("--set", t.clockSet,
                      "now (the computer's local time; UTC with --utc), \"DD.MM.YY HH:MM:SS\" or\n"
                      "YYYY-MM-DDTHH:MM:SS")
        ->check(TextCheck(
            [](const std::string& s) {
                vx4::DeviceClock c;
                return s == "now" || vx4::ParseClockText(s, &c) || vx4::ParseIsoClockText(s, &c)
                           ? std::string()
                           : "'" + s + "' is not now, a date DD.MM.YY HH:MM:SS nor YYYY-MM-DDTHH:MM:SS";
            },
            ""))
        ->type_name("TIME");
    clock->add_flag("--utc", a.utc, "the device keeps UTC: now is UTC, and JSON times are UTC");

    sub("test-clock", "the clock test; exit 0 when it passes", CmdTestClock, Output::Json);

    CLI::App* download = sub("download", "download device file NAME, byte for byte", CmdDownload);
    download->add_option("NAME", a.name, "the device file name")->type_name("NAME")->required();
    download->add_option("-o", a.outFile,
                         "local file (default: NAME in the current folder); a folder: NAME in it;\n"
                         "- : standard output")
        ->type_name("FILE");

    CLI::App* events = sub("events",
                           "the system events, tab-separated with the title row. Reading takes the events\n"
                           "off the device: a second read (here or in the console) shows none. Keep them\n"
                           "with -o",
                           CmdEvents, Output::Json);
    events->add_option("-o", a.outFile,
                       "file to save them in, as the console's events window saves them: CP1251,\n"
                       "tab after every field, CRLF line ends (default: standard output, UTF-8)")
        ->type_name("FILE");

    CLI::App* grad = sub("graduation", "transducer ADDR's graduation pairs as a table, or a .dar file", CmdGraduation,
                         Output::Json);
    grad->add_option("ADDR", t.address, "transducer address (serial number)")
        ->type_name("ADDR")
        ->required()
        ->check(UnsignedCheck(0xFFFFFFFFu));
    grad->add_option("-o", a.outFile, ".dar file to write, as the console writes it: CP1251, CRLF line ends")
        ->type_name("FILE");

    CLI::App* echo = sub("echo", "link test: echo requests, errors by class and the error rate", CmdEcho, Output::Json);
    echo->add_option("--size", t.size, "bytes per request, 0..1015 (default 1015)")->type_name("N")->check(UnsignedCheck(1015));
    echo->add_option("--count", t.count, "number of requests (default 100)")->type_name("N")->check(UnsignedCheck(0xFFFFFFFFu));

    CLI::App* relay = sub("relay", "one relay request with this payload; prints the answer as hex", CmdRelay,
                          Output::Json);
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
                           CmdReport, Output::Json);
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
            std::vector<std::string> names;
            for (const CLI::App* s : app.get_subcommands({}))
                names.push_back(s->get_name());
            const std::string nearest = NearestName(unknownCommand, names);
            std::cerr << "unknown command '" << unknownCommand << "'"
                      << (nearest.empty() ? std::string() : "; did you mean '" + nearest + "'?")
                      << "\nRun vx4ctl --help for the list of commands.\n";
            return ExitUsage;
        }
        if (command == nullptr && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr &&
            std::string(e.what()).find("subcommand") != std::string::npos) {
            std::cerr << "a command is required\nRun vx4ctl --help for the list of commands.\n";
            return ExitUsage;
        }
        const int rc = app.exit(e);
        return rc == 0 ? ExitOk : ExitUsage;
    }
    if (g.json && !commandTakesJson) {
        std::cerr << "--json: " << app.get_subcommands().front()->get_name()
                  << " prints no data to put in JSON (the commands that do are marked [JSON] in --help)\n";
        return ExitUsage;
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
    if (a.count == 0 && command != CmdValues) {
        std::cerr << "--count: at least one request\n";
        return ExitUsage;
    }
    if (!t.interval.empty()) {
        a.intervalMs = std::uint32_t(ToUnsigned(t.interval));
        if (a.intervalMs < 100) {
            std::cerr << "--interval: at least 100 ms\n";
            return ExitUsage;
        }
    }
    if (command == CmdSet) {
        // ID TEXT, or ID=TEXT...
        const bool pairs = t.setArgs.size() == 2 && t.setArgs[0].find('=') == std::string::npos;
        if (pairs) {
            std::uint64_t id = 0;
            if (std::string err = ParseUnsigned(t.setArgs[0], 65535, &id); !err.empty()) {
                std::cerr << "ID: " << err << "\n";
                return ExitUsage;
            }
            a.writes.emplace_back(std::uint16_t(id), t.setArgs[1]);
        } else {
            for (const std::string& arg : t.setArgs) {
                std::pair<std::uint16_t, std::string> w;
                if (std::string err = ParseAssignment(arg, &w); !err.empty()) {
                    std::cerr << err << " (give ID TEXT, or ID=TEXT...)\n";
                    return ExitUsage;
                }
                a.writes.push_back(std::move(w));
            }
        }
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
