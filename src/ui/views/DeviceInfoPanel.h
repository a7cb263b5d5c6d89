#pragma once
// The device information panel: when the device root of the tree is selected the value
// editor shows the device's identification, versions, state, configuration summary and
// archive descriptors as read-only rows, refreshed in place by the polling tick.

namespace vx4 {

class CVX4Obj;
class ParamEditor;

class TDeviceInfoPanel {
public:
    TDeviceInfoPanel(CVX4Obj& device, ParamEditor& editor) : device_(device), editor_(editor) {}

    // Sets the rows (by key, so a refresh updates them in place). Does nothing while a
    // configuration re-read is pending.
    void ShowDeviceInfo();

private:
    CVX4Obj& device_;
    ParamEditor& editor_;
};

} // namespace vx4
