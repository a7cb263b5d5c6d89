#include "ui/monitors/Unit_vx3c_monitor.h"

namespace vx4 {

Tvx3c_monitor::Tvx3c_monitor(QWidget* parent, connection& conn, std::function<std::uint32_t()> devNo)
    : TFrameMonitorForm(parent, conn, std::make_unique<CVx3cMonitor>(),
                        Setup{QStringLiteral("vx3c монитор"), QStringLiteral("VX4_"), false}, std::move(devNo)),
      monitor_(static_cast<CVx3cMonitor*>(&MonitorBase()))
{
    setObjectName("vx3c_monitor");
}

Tvx3c_monitor::~Tvx3c_monitor() = default;

} // namespace vx4
