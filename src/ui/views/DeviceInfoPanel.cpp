#include "ui/views/DeviceInfoPanel.h"

#include "device/Vx4obj.h"
#include "ui/views/DeviceInfoText.h"
#include "ui/views/ParamEditor.h"

namespace vx4 {

void TDeviceInfoPanel::ShowDeviceInfo() {
    if (!device_.IsConfigReady()) return;
    editor_.SetEditing(false);
    const SVX4_Info info = device_.GetDeviceInfo();
    for (const auto& [key, value] : DeviceInfoRows(info.ident, info.itemCount, info.checksum, info.db))
        editor_.SetRow(QString::fromStdString(key), QString::fromStdString(value));
}

} // namespace vx4
