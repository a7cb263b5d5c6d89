// vx4-extcap: the VX-4 line as a live capture interface of Wireshark (an extcap program).
// Wireshark runs it from its extcap folder: it lists one interface, names its link type
// (DLT_USER0, read by the vx4 dissector), describes its settings (port, speed, protocol)
// and, for a capture, listens on the line with the frame monitor of the chosen protocol
// and writes every piece to the fifo Wireshark gives as a pcap stream, one flushed record
// per piece, until Wireshark stops it with SIGTERM (or closes the fifo). It only listens,
// as the monitor windows and vx4ctl monitor do: nothing is ever sent to the line.
//
// Wireshark waits on the fifo for the stream's header, so the fifo is opened and the header
// written before anything that can fail. A port that cannot be opened, a link lost during
// the capture or a capture filter (the line has none: use a display filter) then ends the
// program with a message on standard error and status 1, which Wireshark shows.
//
//   vx4-extcap --extcap-interfaces [--extcap-version=4.0]
//   vx4-extcap --extcap-version
//   vx4-extcap --extcap-interface vx4 --extcap-capture-filter FILTER   (filter check)
//   vx4-extcap --extcap-interface vx4 --extcap-dlts
//   vx4-extcap --extcap-interface vx4 --extcap-config
//   vx4-extcap --extcap-interface vx4 --capture --fifo PATH --port /dev/ttyUSB0|HOST:PORT
//              [--speed 115200] [--protocol vx3c|vx2]

#include "Ctl.h"

#include "link/Connection.h"
#include "link/PcapFile.h"
#include "link/ResultCodes.h"
#include "link/ResultTexts.h"
#include "link/Vx2Monitor.h"
#include "link/Vx3cMonitor.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <pthread.h>
#include <signal.h>

namespace {

constexpr const char* InterfaceName = "vx4";
constexpr const char* Version = VX4_VERSION; // the project's version, from the build
constexpr unsigned Speeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr unsigned DefaultSpeed = 115200;

struct Options {
    bool interfaces = false, dlts = false, config = false, capture = false, version = false, filterGiven = false;
    std::string interface, fifo, port, protocol = "vx3c", captureFilter;
    std::string speedText;
};

// The line carries no packets a capture filter could select, and a filter taken and then
// ignored would look like a filtered capture: every non-blank filter is refused.
const char* const FilterRefused = "the VX-4 line takes no capture filter; leave it empty and use a display filter "
                                  "(for example vx3c.cmd == 36)";

bool Blank(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// A read that failed with nothing received, other than the silence of a quiet line: the
// link is lost (or was never there), and every further read would fail the same way.
bool LinkGone(const vx4::SCaptureStep& step)
{
    return step.read && step.piece.bytes.empty() && step.piece.status != vx4::OK &&
           step.piece.status != vx4::LINK_TIMEOUT;
}

std::string ResultText(int code)
{
    const char* text = vx4::FailureText(code);
    return "result " + std::to_string(code) + (text ? text : "");
}

int Usage(const std::string& message)
{
    std::fprintf(stderr, "vx4-extcap: %s\n", message.c_str());
    return 2;
}

void PrintVersion()
{
    std::printf("extcap {version=%s}{display=VX-4 line capture}\n", Version);
}

void PrintInterfaces()
{
    PrintVersion();
    std::printf("interface {value=%s}{display=VX-4 line (vx3c or vx2 monitor, listen only)}\n", InterfaceName);
}

void PrintDlts()
{
    std::printf("dlt {number=%u}{name=USER0}{display=VX-4 line pieces (vx4 dissector)}\n",
                unsigned(vx4::CPcapFile::LinkTypeUser0));
}

void PrintConfig()
{
    std::printf("arg {number=0}{call=--port}{display=Port}{type=string}{required=true}"
                "{tooltip=Serial port (/dev/ttyUSB0) or HOST:PORT of a network gateway}\n");
    std::printf("arg {number=1}{call=--speed}{display=Speed}{type=selector}{tooltip=Line speed in baud}\n");
    for (unsigned s : Speeds)
        std::printf("value {arg=1}{value=%u}{display=%u}{default=%s}\n", s, s, s == DefaultSpeed ? "true" : "false");
    std::printf("arg {number=2}{call=--protocol}{display=Protocol}{type=radio}"
                "{tooltip=vx3c: the device's own frames; vx2: transducer frames and Modbus RTU}\n");
    std::printf("value {arg=2}{value=vx3c}{display=vx3c}{default=true}\n");
    std::printf("value {arg=2}{value=vx2}{display=vx2}{default=false}\n");
}

void PrintHelp()
{
    std::printf(
        "Usage: vx4-extcap [OPTIONS]\n"
        "Wireshark's live capture interface for the VX-4 line: listens on a serial port or a\n"
        "TCP gateway without sending anything, and hands every piece read off the line to\n"
        "Wireshark (link type USER0, decoded by the vx4 dissector). Wireshark starts it from its\n"
        "extcap folder; the interface is \"VX-4 line\".\n"
        "\n"
        "Options:\n"
        "  --extcap-interfaces        list the interface\n"
        "  --extcap-interface NAME    the interface (vx4)\n"
        "  --extcap-dlts              the interface's link type\n"
        "  --extcap-config            the capture options Wireshark shows\n"
        "  --capture --fifo PATH      capture into PATH (a pcap stream)\n"
        "  --port P                   serial port (/dev/ttyUSB0) or HOST:PORT\n"
        "  --speed N                  line speed in baud (default 115200)\n"
        "  --protocol vx3c|vx2        the monitor to capture with (default vx3c)\n"
        "  --help                     this text\n"
        "  --version                  the program's version\n"
        "\n"
        "Exit status: 0 success, 2 bad usage, another non-zero status when the capture fails.\n");
}

// "--name value" or "--name=value".
bool TakeValue(int argc, char** argv, int& i, const char* name, std::string* out)
{
    const std::size_t n = std::strlen(name);
    if (std::strncmp(argv[i], name, n) != 0)
        return false;
    if (argv[i][n] == '=') {
        *out = argv[i] + n + 1;
        return true;
    }
    if (argv[i][n] != '\0')
        return false;
    *out = i + 1 < argc ? argv[++i] : std::string();
    return true;
}

// Checks what a capture needs; returns a message, empty when all is well.
std::string CheckCapture(const Options& o, vx4ctl::PortSpec* spec, unsigned* speed)
{
    if (!Blank(o.captureFilter))
        return FilterRefused;
    if (o.port.empty())
        return "--capture needs --port (a serial port or HOST:PORT)";
    if (std::string bad = vx4ctl::ParsePort(o.port, spec); !bad.empty())
        return bad;
    if (o.protocol != "vx3c" && o.protocol != "vx2")
        return "--protocol must be vx3c or vx2";
    *speed = DefaultSpeed;
    if (!o.speedText.empty()) {
        std::uint64_t value = 0;
        if (!vx4ctl::ParseUnsigned(o.speedText, 4000000, &value).empty() || value == 0)
            return "--speed must be a number of baud";
        *speed = unsigned(value);
    }
    return {};
}

int Capture(const Options& o)
{
    if (o.fifo.empty())
        return Usage("--capture needs --fifo PATH");

    // The capture runs on a thread of its own; this thread waits for Wireshark's SIGTERM
    // (or SIGINT) and ends the program within a second of it, also when the capture is in
    // the middle of a read (or still waiting for the fifo's reader) then. Every piece
    // written so far has been flushed already.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr); // the capture thread inherits the mask
    std::signal(SIGPIPE, SIG_IGN);                  // a reader that went away shows as a failed write

    std::atomic<bool> stop{false}, done{false};
    std::atomic<int> result{0};
    std::thread capture([&] {
        auto fail = [&](const std::string& message) {
            std::fprintf(stderr, "vx4-extcap: %s\n", message.c_str());
            result = 1;
        };
        // First the stream's header: Wireshark waits for it before it looks at anything else.
        vx4::CPcapFile pcap;
        std::string error;
        if (!pcap.Open(o.fifo, &error, true)) {
            fail(error);
            done = true;
            return;
        }
        vx4ctl::PortSpec spec;
        unsigned speed = DefaultSpeed;
        vx4::connection conn;
        if (std::string bad = CheckCapture(o, &spec, &speed); !bad.empty()) {
            fail(bad);
        } else {
            vx4::ConnectionSettings s = conn.Settings();
            s.port = spec.port;
            s.IP = spec.ip;
            s.TCPIPport = spec.tcpPort;
            s.speed = speed;
            s.AuxTmout = 0;
            conn.SetSettings(s);
            if (const int rc = conn.Open(); rc != 0)
                fail("cannot open " + o.port + ": " + ResultText(rc));
        }
        if (result == 0) {
            std::unique_ptr<vx4::CFrameMonitor> monitor;
            if (o.protocol == "vx2")
                monitor = std::make_unique<vx4::CVx2Monitor>();
            else
                monitor = std::make_unique<vx4::CVx3cMonitor>();
            monitor->isStopped = false;
            while (!stop) {
                const vx4::SCaptureStep step = monitor->CaptureStep(conn);
                if (step.read && !pcap.Write(step.piece, &error))
                    break; // Wireshark closed the fifo: the capture is over
                if (LinkGone(step)) {
                    fail("the line to " + o.port + " is lost: " + ResultText(step.piece.status));
                    break;
                }
            }
        }
        pcap.Close(nullptr);
        conn.Close();
        done = true;
    });

    const timespec tick{0, 100 * 1000 * 1000};
    while (!done && sigtimedwait(&signals, nullptr, &tick) < 0) {
    }
    stop = true;
    for (int i = 0; i < 70 && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {
        // Still in a read (or in opening the fifo): what it wrote is flushed, and the
        // system releases the port and the fifo.
        std::fflush(nullptr);
        std::_Exit(result);
    }
    capture.join();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string value;
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return 0;
        }
        if (a == "--version") {
            std::printf("vx4-extcap %s\n", Version);
            return 0;
        }
        if (a == "--extcap-interfaces")
            o.interfaces = true;
        else if (a == "--extcap-dlts")
            o.dlts = true;
        else if (a == "--extcap-config")
            o.config = true;
        else if (a == "--capture")
            o.capture = true;
        else if (a == "--extcap-version" || a.rfind("--extcap-version=", 0) == 0)
            o.version = true; // Wireshark's own version, when it gives one, changes nothing here
        else if (TakeValue(argc, argv, i, "--extcap-interface", &o.interface) ||
                 TakeValue(argc, argv, i, "--fifo", &o.fifo) || TakeValue(argc, argv, i, "--port", &o.port) ||
                 TakeValue(argc, argv, i, "--protocol", &o.protocol) ||
                 TakeValue(argc, argv, i, "--speed", &o.speedText))
            continue;
        else if (TakeValue(argc, argv, i, "--extcap-capture-filter", &o.captureFilter))
            o.filterGiven = true;
        else if (TakeValue(argc, argv, i, "--extcap-control-in", &value) ||
                   TakeValue(argc, argv, i, "--extcap-control-out", &value) ||
                   TakeValue(argc, argv, i, "--debug-file", &value) || a == "--debug")
            continue; // what Wireshark passes and this program has no use for
        else
            return Usage("unknown argument " + a);
    }
    if (o.interfaces) {
        PrintInterfaces();
        return 0;
    }
    if (!o.interface.empty() && o.interface != InterfaceName)
        return Usage("no interface " + o.interface + " (the only one is " + InterfaceName + ")");
    if (o.dlts) {
        PrintDlts();
        return 0;
    }
    if (o.config) {
        PrintConfig();
        return 0;
    }
    if (o.capture)
        return Capture(o);
    if (!o.interface.empty() && o.filterGiven) {
        // Wireshark checks a capture filter before the capture: an empty answer with status 0
        // is a good filter, a line of text the reason it is not.
        if (!Blank(o.captureFilter))
            std::printf("%s\n", FilterRefused);
        return 0;
    }
    if (o.version) {
        PrintVersion();
        return 0;
    }
    return Usage("give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture (--help explains them)");
}
