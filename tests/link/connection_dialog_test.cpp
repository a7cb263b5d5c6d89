// The connection's settings dialog step, with a dialog that records what it is asked.
#include "link/Connection.h"
#include "link/SettingsDialog.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vx4;

namespace {

class RecordingDialog : public SettingsDialog {
public:
    bool confirm = false;
    std::uint32_t fieldNumber = 0;
    // What the dialog saw.
    int shown = 0;
    int x = -1, y = -1;
    bool devNomEnabled = false;
    std::uint32_t devNomWhenShown = 0;
    bool lockFreeWhenShown = false;

    void SetDevNomEnabled(bool enabled) override { devNomEnabled = enabled; }
    bool ShowModalAt(int atX, int atY, connection& conn) override
    {
        ++shown;
        x = atX;
        y = atY;
        devNomWhenShown = conn.DeviceNumber();
        // Another thread can take the connection's lock while the dialog is open.
        lockFreeWhenShown = false;
        std::thread other([&] {
            if (conn.Lock().try_lock()) {
                lockFreeWhenShown = true;
                conn.Lock().unlock();
            }
        });
        other.join();
        if (confirm) {
            ConnectionSettings s = conn.Settings();
            s.port = "ttyUSB0";
            conn.SetSettings(s);
        }
        return confirm;
    }
    std::uint32_t DevNomNumber() override { return fieldNumber; }
};

TEST(ConnectionSettingsDialog, NoDialogShowsNothing)
{
    connection conn;
    std::uint32_t devNo = 5;
    EXPECT_FALSE(conn.ShowSettingsDialog(1, 2, &devNo, true));
    EXPECT_EQ(devNo, 5u);
    EXPECT_EQ(conn.DeviceNumber(), 0u);
}

TEST(ConnectionSettingsDialog, DeviceNumberInAndOut)
{
    struct Case {
        const char* what;
        bool confirm;
        bool editable;
        bool devNoGiven;
        std::uint32_t expectDevNo; // *devNo afterwards
        const char* expectPort;
    };
    const Case cases[] = {
        {"OK, editable", true, true, true, 77, "ttyUSB0"},
        {"Cancel, editable: the field's number all the same", false, true, true, 77, "COM1"},
        {"OK, not editable", true, false, true, 12, "ttyUSB0"},
        {"no number given", true, true, false, 0, "ttyUSB0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        connection conn;
        RecordingDialog dialog;
        dialog.confirm = c.confirm;
        dialog.fieldNumber = 77;
        conn.SetSettingsDialog(&dialog);
        std::uint32_t devNo = 12;
        EXPECT_EQ(conn.ShowSettingsDialog(30, 40, c.devNoGiven ? &devNo : nullptr, c.editable), c.confirm);
        EXPECT_EQ(dialog.shown, 1);
        EXPECT_EQ(dialog.x, 30);
        EXPECT_EQ(dialog.y, 40);
        EXPECT_EQ(dialog.devNomEnabled, c.editable);
        EXPECT_EQ(dialog.devNomWhenShown, c.devNoGiven ? 12u : 0u);
        EXPECT_TRUE(dialog.lockFreeWhenShown);
        EXPECT_EQ(c.devNoGiven ? devNo : 0u, c.expectDevNo);
        EXPECT_EQ(conn.Settings().port, c.expectPort);
    }
}

} // namespace
