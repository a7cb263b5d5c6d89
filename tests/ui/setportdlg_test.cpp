#include "ui/dialogs/Setportdlg.h"

#include "mainwindow_fixture.h"
#include "platform/IniFile.h"
#include "ui/dialogs/Ipedit.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>

using namespace vx4;

namespace {

class SetPortDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        uitest::EnsureApplication();
        dlg = std::make_unique<TSetPortDlg>();
        dlg->SetPortSource([] {
            return std::vector<SerialPortEntry>{{"ttyUSB0", "FT232R USB UART", "FTDI"},
                                                {"ttyS10", "", ""},
                                                {"ttyS2", "", ""},
                                                {"ttyACM0", "USB Modem", "Arduino"}};
        });
        conn.SetListener(dlg.get());
        conn.SetSettingsDialog(dlg.get());
    }
    void TearDown() override { conn.SetListener(nullptr); }

    QStringList PortList() const
    {
        QStringList l;
        for (int i = 0; i < dlg->CB_Port->count(); ++i)
            l << dlg->CB_Port->itemText(i);
        return l;
    }

    connection conn;
    std::unique_ptr<TSetPortDlg> dlg;
};

TEST_F(SetPortDlgTest, FieldsFromTheConnection)
{
    ConnectionSettings s;
    s.port = "ttyS10";
    s.IP = "10.0.0.7";
    s.TCPIPport = "4001";
    s.speed = 57600;
    s.dev_nom = 1203045;
    conn.SetSettings(s);
    dlg->Prepare(conn);
    EXPECT_EQ(PortList(), (QStringList{"TCP/IP", "ttyACM0", "ttyS2", "ttyS10", "ttyUSB0"}));
    EXPECT_EQ(dlg->CB_Port->currentIndex(), 3);
    EXPECT_EQ(dlg->CB_Speed->currentText(), "57600");
    EXPECT_EQ(dlg->IPEdit->GetIP(), "10.0.0.7");
    EXPECT_EQ(dlg->E_TCPIP_Port->text(), "4001");
    EXPECT_EQ(dlg->E_DevNom->text(), "1203045");
    EXPECT_EQ(dlg->width(), TSetPortDlg::NarrowWidth);
}

TEST_F(SetPortDlgTest, KeyFiltersTakeDigitsOnly)
{
    for (QLineEdit* field : {dlg->E_DevNom, dlg->E_TCPIP_Port, dlg->E_AuxTmout}) {
        SCOPED_TRACE(field->objectName().toStdString());
        field->clear();
        QTest::keyClicks(field, "1a2-3.4 ");
        EXPECT_EQ(field->text(), "1234");
        QTest::keyClick(field, Qt::Key_Backspace);
        EXPECT_EQ(field->text(), "123");
        // Pasted text too.
        field->clear();
        field->insert("5x6");
        EXPECT_EQ(field->text(), "");
    }
}

TEST_F(SetPortDlgTest, TcpPortAboveTheLastBecomesIt)
{
    const std::pair<const char*, const char*> cases[] = {
        {"70000", "65535"}, {"65536", "65535"}, {"65535", "65535"},
        {"10001", "10001"}, {"0", "0"},         {"123456789012345678901234", "65535"},
    };
    for (const auto& [typed, left] : cases) {
        dlg->E_TCPIP_Port->clear();
        QTest::keyClicks(dlg->E_TCPIP_Port, typed);
        EXPECT_EQ(dlg->E_TCPIP_Port->text(), left) << typed;
    }
}

TEST_F(SetPortDlgTest, OkWritesTheFields)
{
    dlg->Prepare(conn);
    dlg->CB_Port->setCurrentText("ttyUSB0");
    dlg->CB_Speed->setCurrentText("19200");
    dlg->IPEdit->SetIP("192.168.1.20");
    dlg->E_TCPIP_Port->setText("5000");
    dlg->E_DevNom->setText("42");
    dlg->E_AuxTmout->setText("250");
    dlg->OKBtnClick();
    const ConnectionSettings s = conn.Settings();
    EXPECT_EQ(s.port, "ttyUSB0");
    EXPECT_EQ(s.speed, 19200u);
    EXPECT_EQ(s.IP, "192.168.1.20");
    EXPECT_EQ(s.TCPIPport, "5000");
    EXPECT_EQ(s.dev_nom, 42u);
    EXPECT_EQ(s.AuxTmout, 250u);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
}

TEST_F(SetPortDlgTest, AuxTmoutLimitedWhenConfirmed)
{
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"25000", 10000}, {"10000", 10000}, {"9999", 9999}, {"", 0}, {"99999999999999999999999", 10000}};
    for (const auto& [typed, stored] : cases) {
        dlg->Prepare(conn);
        dlg->E_AuxTmout->setText(typed);
        dlg->OKBtnClick();
        EXPECT_EQ(conn.Settings().AuxTmout, stored) << typed;
        EXPECT_EQ(dlg->E_AuxTmout->text().toStdString(), std::to_string(stored));
    }
}

TEST_F(SetPortDlgTest, CancelLeavesEverySetting)
{
    ConnectionSettings before;
    before.port = "TCP/IP";
    before.IP = "10.1.1.1";
    before.TCPIPport = "10001";
    before.speed = 115200;
    before.dev_nom = 9;
    before.AuxTmout = 300;
    conn.SetSettings(before);
    conn.ApplyOverrides("", "", "", 0, 0, 300); // what the dialog's delay shows
    std::uint32_t devNo = 9;
    QTimer::singleShot(0, dlg.get(), [this] {
        dlg->CB_Port->setCurrentText("ttyS2");
        dlg->CB_Speed->setCurrentText("9600");
        dlg->IPEdit->SetIP("1.2.3.4");
        dlg->E_TCPIP_Port->setText("1");
        dlg->E_DevNom->setText("55");
        dlg->E_AuxTmout->setText("7000");
        dlg->CancelBtnClick();
    });
    EXPECT_FALSE(conn.ShowSettingsDialog(10, 10, &devNo, true));
    const ConnectionSettings after = conn.Settings();
    EXPECT_EQ(after.port, before.port);
    EXPECT_EQ(after.IP, before.IP);
    EXPECT_EQ(after.TCPIPport, before.TCPIPport);
    EXPECT_EQ(after.speed, before.speed);
    EXPECT_EQ(after.dev_nom, before.dev_nom);
    EXPECT_EQ(after.AuxTmout, before.AuxTmout);
    // The device number is taken from the field whichever button closed the dialog.
    EXPECT_EQ(devNo, 55u);
    // The delay shows the value in force again.
    EXPECT_EQ(dlg->E_AuxTmout->text(), "300");
}

TEST_F(SetPortDlgTest, DelayShowsWhatTheConnectionLastLoadedOrOverrode)
{
    const auto dir = std::filesystem::temp_directory_path() / ("vx4setport_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string ini = (dir / "vx4pult.ini").string();
    WritePrivateProfileString("CONNECTION", "AuxTmout", "700", ini);
    conn.LoadSettings(ini);
    dlg->Prepare(conn);
    EXPECT_EQ(dlg->E_AuxTmout->text(), "700");
    conn.ApplyOverrides("", "", "", 0, 0, 0);
    dlg->Prepare(conn);
    EXPECT_EQ(dlg->E_AuxTmout->text(), "0");
    std::filesystem::remove_all(dir);
}

TEST_F(SetPortDlgTest, TypedValuesKeptAsTyped)
{
    // A port not found (a pseudo-terminal), a speed outside the list and a host name.
    ConnectionSettings s;
    s.port = "/dev/pts/7";
    s.speed = 4800;
    s.IP = "vx4.example.net";
    conn.SetSettings(s);
    dlg->Prepare(conn);
    EXPECT_EQ(dlg->CB_Port->currentText(), "/dev/pts/7");
    EXPECT_EQ(dlg->CB_Speed->currentIndex(), -1);
    dlg->OKBtnClick();
    EXPECT_EQ(conn.Settings().port, "/dev/pts/7");
    EXPECT_EQ(conn.Settings().speed, 4800u);
    EXPECT_EQ(conn.Settings().IP, "vx4.example.net");

    // Typed by the user; an address typed over the host name replaces it.
    dlg->Prepare(conn);
    dlg->CB_Port->setEditText("/dev/pts/9");
    dlg->IPEdit->Field(0)->setFocus();
    dlg->IPEdit->Field(0)->selectAll();
    QTest::keyClicks(dlg->IPEdit->Field(0), "10");
    dlg->OKBtnClick();
    EXPECT_EQ(conn.Settings().port, "/dev/pts/9");
    EXPECT_EQ(conn.Settings().IP, "10.255.255.255");
}

TEST_F(SetPortDlgTest, PortTree)
{
    dlg->Prepare(conn);
    QTreeWidgetItem* root = dlg->TreeView->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0), "Порты (COM)");
    EXPECT_TRUE(root->isExpanded());
    QStringList children;
    for (int i = 0; i < root->childCount(); ++i)
        children << root->child(i)->text(0);
    EXPECT_EQ(children, (QStringList{"ttyACM0  USB Modem (Arduino)", "ttyS2", "ttyS10",
                                     "ttyUSB0  FT232R USB UART (FTDI)"}));

    // The tree is shown and hidden by the small button (and Ctrl+P).
    dlg->SpeedButton1->click();
    EXPECT_TRUE(dlg->TreeShown());
    EXPECT_EQ(dlg->width(), TSetPortDlg::WideWidth);

    dlg->CB_Port->setCurrentText("TCP/IP");
    dlg->TreeView->setCurrentItem(root);
    EXPECT_EQ(dlg->CB_Port->currentText(), "TCP/IP"); // the root selects nothing
    dlg->TreeView->setCurrentItem(root->child(3));
    EXPECT_EQ(dlg->CB_Port->currentText(), "ttyUSB0");
    EXPECT_EQ(dlg->CB_Port->currentIndex(), 4);
    dlg->TreeView->setCurrentItem(root->child(1));
    EXPECT_EQ(dlg->CB_Port->currentText(), "ttyS2");

    dlg->OpenPortsTreeView->trigger();
    EXPECT_FALSE(dlg->TreeShown());
    EXPECT_EQ(dlg->width(), TSetPortDlg::NarrowWidth);
    // Whether the tree is shown is kept between showings.
    dlg->OpenPortsTreeView->trigger();
    dlg->Prepare(conn);
    EXPECT_TRUE(dlg->TreeShown());
}

} // namespace
