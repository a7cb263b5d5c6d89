#include "Session.h"

#include "Output.h"

#include "link/Comlink.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"
#include "platform/FileLocations.h"
#include "platform/IniFile.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <cstdlib>
#include <thread>

namespace vx4ctl {

Session::Session(const GlobalOptions& options) : options_(options) {}

Session::~Session()
{
    device_.reset();
    if (opened_)
        conn_.Close();
}

std::string Session::Where()
{
    const vx4::ConnectionSettings s = conn_.Settings();
    if (s.port == "TCP/IP")
        return s.IP + ":" + s.TCPIPport;
    return vx4::CComLink::DevicePath(s.port);
}

std::string Session::ConnectionText()
{
    const vx4::ConnectionSettings s = conn_.Settings();
    // A key the file holds counts as the file's even when it holds the default. The file is
    // read once, with the checks the connection's own reading made (a refused file holds none).
    vx4::IniFile file;
    file.Load(settingsPath_);
    auto source = [&](bool option, std::initializer_list<const char*> keys) -> std::string {
        if (option)
            return "option";
        for (const char* key : keys)
            if (file.Get("CONNECTION", key, "\x01") != "\x01")
                return "settings file " + settingsPath_;
        return "default";
    };
    const bool tcp = s.port == "TCP/IP";
    std::string text = "port " + Where() + " (" +
                       source(options_.port.has_value(), tcp ? std::initializer_list<const char*>{"port", "IP", "TCPIPport"}
                                                             : std::initializer_list<const char*>{"port"}) +
                       ")";
    if (!tcp)
        text += ", speed " + std::to_string(s.speed) + " (" + source(options_.speed.has_value(), {"speed"}) + ")";
    text += ", device " + std::to_string(s.dev_nom) + " (" + source(options_.dev.has_value(), {"dev_nom"}) + ")";
    if (s.AuxTmout != 0)
        text += ", extra delay " + std::to_string(s.AuxTmout) + " ms";
    return text;
}

std::string Session::OpenFailureText(int err)
{
    const bool tcp = conn_.Settings().port == "TCP/IP";
    if (tcp) {
        if (err == 0)
            return "the host name does not resolve";
        if (err == ECONNREFUSED)
            return std::string(std::strerror(err)) + ": nothing listens on that port";
        if (err == ETIMEDOUT)
            return std::string(std::strerror(err)) + ": no answer from the host";
        return std::strerror(err);
    }
    switch (err) {
    case EACCES:
    case EPERM:
        return std::string(std::strerror(err)) +
               ": you may not use the port; on most systems serial ports belong to the group dialout "
               "(sudo usermod -aG dialout $USER, then log in again)";
    case EBUSY:
        return std::string(std::strerror(err)) + ": another program holds the port (fuser -v " + Where() + ")";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return std::string(std::strerror(err)) + ": no such serial port here (ls /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*)";
    case ENOTTY:
        return "not a serial port";
    case 0:
        return "the port could not be opened";
    default:
        return std::strerror(err);
    }
}

int Session::Fail(int code)
{
    PrintError(code);
    if (code == vx4::LINK_TIMEOUT) {
        std::cerr << "  tried " << ConnectionText() << "\n"
                  << "  no answer: check the port and the line speed; --dev 0 finds the device whatever its number\n";
    } else if (code == vx4::LINK_NOT_OPEN && opened_) {
        std::cerr << "  the link to " << Where() << " went down (the other side closed it, or the port went away)\n";
    }
    return code;
}

int Session::Open()
{
    settingsPath_ = vx4::SettingsFilePath();
    if (const std::string problem = conn_.LoadSettings(settingsPath_); !problem.empty())
        std::cerr << "warning: " << problem << "\n";
    const PortSpec port = options_.port.value_or(PortSpec{});
    // The extra delay always replaces the loaded one, so pass the loaded value when the
    // command line gives none.
    const std::uint32_t aux = options_.aux.value_or(conn_.Settings().AuxTmout);
    conn_.ApplyOverrides(port.port, port.ip, port.tcpPort, options_.speed.value_or(0), options_.dev.value_or(0),
                         aux);
    // Device number 0 is a request to find the device; ApplyOverrides leaves 0 alone.
    if (options_.dev && *options_.dev == 0)
        conn_.SetDeviceNumber(0);
    const int rc = conn_.Open();
    if (rc != 0) {
        const int err = conn_.OpenErrno();
        PrintError(rc, "cannot open " + Where() + ": " + OpenFailureText(err));
        std::cerr << "  tried " << ConnectionText() << "\n";
    }
    opened_ = true; // a failed open still counts one opening
    return rc;
}

vx4::CVX4Obj& Session::Device()
{
    if (!device_) {
        // Nobody reaches the device through a short tool run: no local gateway, so a
        // console serving the same device keeps its socket.
        timing_.runGateway = false;
        device_ = std::make_unique<vx4::CVX4Obj>(conn_, timing_);
    }
    return *device_;
}

int Session::Connect(std::uint32_t* address)
{
    if (int rc = Open(); rc != 0)
        return rc;
    return Address(address);
}

int Session::Address(std::uint32_t* address)
{
    if (conn_.DeviceNumber() == 0) {
        int code = 0;
        const vx4::SDevIdent found = Device().FindDevice(&code);
        if (found.serial == 0) {
            // The identify's own result: 1013 for wrong check bytes, 1016 for silence.
            if (code != 0)
                Fail(code);
            else
                PrintError(code = -1, "no device answered at the any-device address");
            return code;
        }
    }
    *address = conn_.DeviceNumber();
    return 0;
}

std::chrono::milliseconds Session::WorkerBound()
{
    // An exchange tries three times, each waiting at most its time-out and the extra delay.
    const std::uint64_t exchange = 3 * (2000 + std::uint64_t(conn_.Settings().AuxTmout));
    const std::uint64_t read = std::uint64_t(timing_.stabilityRounds) * timing_.stabilityPauseMs + timing_.cycleMs;
    return std::chrono::milliseconds(3 * (read + 3 * exchange));
}

int Session::ReadConfiguration()
{
    std::uint32_t address = 0;
    if (int rc = Address(&address); rc != 0)
        return rc;
    vx4::CVX4Obj& device = Device();
    struct Wait {
        std::mutex lock;
        std::condition_variable ended;
        bool done = false;
        int result = 0;
        vx4::SConfigSnapshot config;
    };
    auto wait = std::make_shared<Wait>();
    // Taken on the worker thread the moment a read ends, before its next change check can
    // start another one.
    device.SetWorkerListener([wait, &device](const vx4::SWorkerReport& r) {
        if (r.kind != vx4::SWorkerReport::ConfigRead)
            return;
        std::lock_guard<std::mutex> g(wait->lock);
        if (wait->done)
            return;
        wait->result = r.result;
        if (r.result == 0)
            wait->config = device.GetConfigSnapshot();
        wait->done = true;
        wait->ended.notify_all();
    });
    const auto bound = WorkerBound();
    bool ended = false;
    {
        ProgressBar bar("config");
        device.RequestReread();
        float shown = -1;
        auto lastSign = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> g(wait->lock);
        while (!wait->done) {
            wait->ended.wait_for(g, std::chrono::milliseconds(100));
            float percent = 0;
            device.GetProgress(&percent, nullptr);
            const auto now = std::chrono::steady_clock::now();
            if (percent != shown) {
                shown = percent;
                lastSign = now;
                bar.Show(percent / 100.0);
            } else if (now - lastSign > bound) {
                break;
            }
        }
        ended = wait->done;
        if (ended)
            bar.Show(1.0);
    }
    device.SetWorkerListener({});
    if (!ended) {
        PrintError(-1, "the configuration read did not end within " +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " s");
        return -1;
    }
    if (wait->result != 0) {
        Fail(wait->result);
        std::cerr << "  reading the configuration failed\n";
        return wait->result;
    }
    config_ = std::move(wait->config);
    return 0;
}

} // namespace vx4ctl
