#pragma once
// Tvx3c_monitor: the "vx3c монитор" window. Listens on the open connection and logs one
// line for every vx3c frame (or broken piece of one) that arrives; see CVx3cMonitor for
// the lines and TFrameMonitorForm for the log, the toolbar and the capture thread.

#include "link/Vx3cMonitor.h"
#include "ui/monitors/FrameMonitorForm.h"

namespace vx4 {

class Tvx3c_monitor : public TFrameMonitorForm {
    Q_OBJECT
public:
    Tvx3c_monitor(QWidget* parent, connection& conn, std::function<std::uint32_t()> devNo);
    ~Tvx3c_monitor() override;

    CVx3cMonitor& Monitor() { return *monitor_; }

private:
    CVx3cMonitor* monitor_; // owned by the form
};

} // namespace vx4
