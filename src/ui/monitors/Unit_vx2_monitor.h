#pragma once
// Tvx2_monitor: the "vx2 монитор" window. Listens on the open connection for the vx2
// traffic of the flow transducers (and Modbus RTU frames) and logs one line per piece; see
// CVx2Monitor for the lines and TFrameMonitorForm for the log, the toolbar and the capture
// thread, which runs here two nice levels above normal where the system allows it. A fifth
// button steps the filter: "Все", "Запр." (requests only), "Отв." (answers only).

#include "link/Vx2Monitor.h"
#include "ui/monitors/FrameMonitorForm.h"

namespace vx4 {

class Tvx2_monitor : public TFrameMonitorForm {
    Q_OBJECT
public:
    Tvx2_monitor(QWidget* parent, connection& conn, std::function<std::uint32_t()> devNo);
    ~Tvx2_monitor() override;

    void ToolButtonShowTypeClick();

    CVx2Monitor& Monitor() { return *monitor_; }

    QToolButton* ToolButtonShowType = nullptr;

private:
    CVx2Monitor* monitor_; // owned by the form
};

} // namespace vx4
