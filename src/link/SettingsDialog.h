#pragma once
// SettingsDialog: the connection settings dialog as the connection shows it. The window
// side implements it, so that the connection can show its dialog without knowing windows.

#include <cstdint>

namespace vx4 {

class connection;

class SettingsDialog {
public:
    virtual ~SettingsDialog() = default;
    // Enables or disables the device-number field.
    virtual void SetDevNomEnabled(bool enabled) = 0;
    // Fills the fields from conn and shows the dialog modally with its top-left corner at
    // (x, y). OK writes the fields into conn's settings; Cancel leaves them. True on OK.
    virtual bool ShowModalAt(int x, int y, connection& conn) = 0;
    // The number in the device-number field, 0 when it holds none.
    virtual std::uint32_t DevNomNumber() = 0;
};

} // namespace vx4
