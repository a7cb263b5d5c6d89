#pragma once
// The connection to the device for one vx4ctl run: the console's connection with the
// CONNECTION settings of vx4pult.ini (platform/FileLocations.h), the command line's overrides on
// top, and (when a command needs it) the console's device object bound to it.

#include "Ctl.h"

#include "device/Vx4obj.h"
#include "link/Connection.h"

#include <chrono>
#include <memory>

namespace vx4ctl {

class Session {
public:
    explicit Session(const GlobalOptions& options);
    ~Session(); // the device object ends first, then the link is closed
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads the settings, applies the overrides and opens the link. 0 or the open's code
    // (reported on standard error).
    int Open();
    // The device address. With device number 0 the device is first found through the
    // any-device address and its serial number becomes the address. 0 or an error code
    // (reported on standard error).
    int Address(std::uint32_t* address);
    // Open, then Address: what every command that talks to the device starts with.
    int Connect(std::uint32_t* address);

    vx4::connection& Conn() { return conn_; }
    // The device object's polling period; before the device object is first used.
    void SetPollInterval(std::uint32_t ms) { timing_.cycleMs = ms; }

    // Reports a failed command's code on standard error ("error <code> <text>") and returns
    // it. A time-out also names the port, speed and device number with where each came from
    // (option, settings file, default) and how to find the device; a link that went down
    // names the peer.
    int Fail(int code);
    // Where the line goes, as a user would type it: "127.0.0.1:10001" or "/dev/ttyUSB0".
    std::string Where();
    // The device object, created on first use over the opened connection.
    vx4::CVX4Obj& Device();

    // Has the device object read the whole configuration, as the console's worker does,
    // with a progress bar, and keeps a copy of the first read that ends: a device whose
    // configuration keeps changing is read again and again, and waiting for it to be ready
    // would never end. 0 or an error code (reported on standard error).
    int ReadConfiguration();
    // The configuration ReadConfiguration took.
    const vx4::SConfigSnapshot& Configuration() const { return config_; }
    // Longest time any wait on the device object's worker may pass without a sign of
    // progress: three configuration reads that found the device changing all the time (the
    // stability wait) plus three failing exchanges each.
    std::chrono::milliseconds WorkerBound();

private:
    // "port 127.0.0.1:10001 (--port), speed 115200 (settings file X), device 5 (default)".
    std::string ConnectionText();
    // The open failure's reason and, for a serial port, its likely cure.
    std::string OpenFailureText(int err);

    GlobalOptions options_;
    std::string settingsPath_;
    vx4::connection conn_;
    bool opened_ = false;
    std::unique_ptr<vx4::CVX4Obj> device_;
    vx4::CVX4Obj::Timing timing_;
    vx4::SConfigSnapshot config_;
};

} // namespace vx4ctl
