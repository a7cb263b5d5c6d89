// vx4sim: a simulated VX-4 metering computer on a TCP port or a pseudo-terminal.
// The first line on standard output names where it listens; it runs until interrupted.

#include "DeviceDescription.h"
#include "Simulator.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <pthread.h>
#include <string>

namespace {

const char* const kFooter = R"(Faults (--faults): a comma-separated list of name=probability, each probability
between 0 and 1, drawn once per answer:
  noanswer=P      the answer is not sent
  busy=P          the device answers 251 (busy) without carrying the command out
  wrongcmd=P      the answer carries a wrong command code
  truncated=P     only the first part of the answer is sent
  badcheck=P      the answer's sum byte is wrong
  delay=P:MS      the answer is sent MS milliseconds late
  drip=P:MS       the answer is sent one byte every MS milliseconds, as a slow device would
  checksum=P      the configuration checksum changes, as another program writing would
Example: --faults noanswer=0.1,badcheck=0.05,truncated=0.05,wrongcmd=0.05,busy=0.05,delay=0.1:200,checksum=0.01
--seed N makes the fault sequence repeatable.

Without --tcp or --pty the simulator listens on 127.0.0.1:10001. The first line on standard
output is "listening tcp ADDRESS:PORT" or "listening pty /dev/pts/N".)";

bool SplitHostPort(const std::string& text, std::string* host, std::uint16_t* port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    const std::string p = text.substr(colon + 1);
    char* end = nullptr;
    const unsigned long v = std::strtoul(p.c_str(), &end, 10);
    if (p.empty() || *end != '\0' || v > 65535)
        return false;
    *host = text.substr(0, colon);
    *port = std::uint16_t(v);
    return true;
}

int Fail(const std::string& message)
{
    std::cerr << "vx4sim: " << message << "\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"vx4sim - VX-4 device simulator", "vx4sim"};
    app.footer(kFooter);
    app.set_version_flag("--version", "vx4sim " VX4_VERSION);
    std::string tcp, device, profile, faultText;
    bool pty = false, dump = false, verbose = false;
    unsigned baud = 0, seed = 1;
    unsigned writeChecksumDelay = 0;
    app.add_option("--tcp", tcp, "listen on HOST:PORT (port 0 picks a free port)");
    app.add_flag("--pty", pty, "serve a pseudo-terminal; its slave is the serial port to open");
    app.add_option("--baud", baud, "line model: send at N/10 bytes per second and delay each answer "
                                   "by the line time of its request (default: answer at once)");
    app.add_option("--device", device, "device description (JSON) instead of the built-in demo");
    app.add_option("--profile", profile, "large:N generates an N-item configuration");
    app.add_option("--faults", faultText, "random faults, see below");
    app.add_option("--write-checksum-delay", writeChecksumDelay,
                   "an accepted constant write changes the configuration checksum MS later (default 0)");
    app.add_option("--seed", seed, "seed of the fault generator (default 1)");
    std::string emitText;
    app.add_option("--emit", emitText, "send traffic unasked for the frame monitors: vx3c:RATE or vx2:RATE "
                                       "(RATE frames a second, or max for back to back)");
    app.add_flag("-v,--verbose", verbose, "print every request and answer in hexadecimal to standard error");
    app.add_flag("--dump-device", dump, "print the device description as JSON and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    if (!tcp.empty() && pty)
        return Fail("choose either --tcp or --pty, not both");
    if (!device.empty() && !profile.empty())
        return Fail("choose either --device or --profile, not both");

    std::unique_ptr<vx4sim::Simulator> sim;
    std::string error;
    vx4sim::DeviceDescription description;
    if (!device.empty()) {
        sim = vx4sim::Simulator::FromJsonFile(device, &error);
        if (!sim)
            return Fail(error);
    } else if (!profile.empty()) {
        const std::string prefix = "large:";
        char* end = nullptr;
        const std::string n = profile.substr(prefix.size());
        const unsigned long items = profile.rfind(prefix, 0) == 0 ? std::strtoul(n.c_str(), &end, 10) : 0;
        if (profile.rfind(prefix, 0) != 0 || n.empty() || *end != '\0' || items < 1 || items > 65535)
            return Fail("--profile must be large:N with N from 1 to 65535");
        sim = vx4sim::Simulator::LargeProfile(unsigned(items));
    } else {
        sim = std::make_unique<vx4sim::Simulator>();
    }

    if (dump) {
        if (!device.empty()) {
            std::string text;
            std::FILE* f = std::fopen(device.c_str(), "rb");
            if (f) {
                char buf[65536];
                std::size_t k;
                while ((k = std::fread(buf, 1, sizeof buf, f)) > 0)
                    text.append(buf, k);
                std::fclose(f);
            }
            vx4sim::DescriptionFromJson(text, &description, &error);
        } else if (!profile.empty()) {
            description = vx4sim::LargeDescription(sim->ItemCount());
        } else {
            description = vx4sim::DemoDescription();
        }
        std::cout << vx4sim::DescriptionToJson(description) << "\n";
        return 0;
    }

    vx4sim::Faults faults;
    if (!faultText.empty() && !vx4sim::ParseFaults(faultText, &faults, &error))
        return Fail(error);
    faults.seed = seed;
    sim->SetFaults(faults);
    vx4sim::Emission emission;
    emission.seed = seed;
    if (!emitText.empty() && !vx4sim::ParseEmission(emitText, &emission, &error))
        return Fail(error);
    sim->SetBaud(baud);
    sim->SetWriteChecksumDelay(writeChecksumDelay);
    if (verbose)
        sim->SetLog([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });

    // Signals are taken by sigwait below; the server threads inherit the blocked mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (pty) {
        if (!sim->StartPty(&error))
            return Fail(error);
        std::printf("listening pty %s\n", sim->PtyPath().c_str());
    } else {
        std::string host = "127.0.0.1";
        std::uint16_t port = 10001;
        if (!tcp.empty() && !SplitHostPort(tcp, &host, &port))
            return Fail("--tcp must be HOST:PORT, e.g. 127.0.0.1:10001");
        if (!sim->StartTcp(host, port, &error))
            return Fail(error);
        std::printf("listening tcp %s:%u\n", sim->Host().c_str(), unsigned(sim->Port()));
    }
    std::fflush(stdout);
    if (emission.kind != vx4sim::Emission::None)
        sim->SetEmission(emission);

    int sig = 0;
    sigwait(&set, &sig);
    sim->Stop();
    if (emission.kind != vx4sim::Emission::None)
        std::fprintf(stderr, "vx4sim: %llu frames emitted\n", static_cast<unsigned long long>(sim->FramesEmitted()));
    return 0;
}
