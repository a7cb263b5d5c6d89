#include "Session.h"

#include "Output.h"

#include "link/Vx4prot.h"
#include "platform/FileLocations.h"

#include <unistd.h>

#include <chrono>
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

int Session::Open()
{
    conn_.LoadSettings(vx4::SettingsFilePath());
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
    opened_ = true; // a failed open still counts one opening
    if (rc != 0) {
        const vx4::ConnectionSettings s = conn_.Settings();
        const std::string where = s.port == "TCP/IP" ? s.IP + ":" + s.TCPIPport : s.port;
        PrintError(rc, "cannot open " + where);
    }
    return rc;
}

vx4::CVX4Obj& Session::Device()
{
    if (!device_) {
        // Nobody reaches the device through a short tool run: no local gateway, so a
        // console serving the same device keeps its socket.
        vx4::CVX4Obj::Timing timing;
        timing.runGateway = false;
        device_ = std::make_unique<vx4::CVX4Obj>(conn_, timing);
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
                PrintError(code);
            else
                PrintError(code = -1, "no device answered at the any-device address");
            return code;
        }
    }
    *address = conn_.DeviceNumber();
    return 0;
}

int Session::ReadConfiguration()
{
    std::uint32_t address = 0;
    if (int rc = Address(&address); rc != 0)
        return rc;
    vx4::CVX4Obj& device = Device();
    {
        ProgressBar bar("config");
        device.RequestReread();
        while (!device.IsConfigReady()) {
            float percent = 0;
            device.GetProgress(&percent, nullptr);
            bar.Show(percent / 100.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        bar.Show(1.0);
    }
    if (device.GetDeviceInfo().itemCount != 0)
        return 0;
    // Nothing loaded: either the device has no items or the read failed (the worker then
    // clears what it had). Ask the device which.
    vx4::SConfigInfo summary;
    const int rc = vx4::ReadConfigSummary(conn_, conn_.DeviceNumber(), &summary);
    if (rc != 0) {
        PrintError(rc);
        return rc;
    }
    if (summary.itemCount == 0)
        return 0;
    const vx4::ConnectionStatistics s = conn_.Statistics();
    if (s.lastError != 0) {
        PrintError(int(s.lastError), "reading the configuration failed");
        return int(s.lastError);
    }
    PrintError(-1, "reading the configuration failed");
    return -1;
}

} // namespace vx4ctl
