#pragma once
// TSetPortDlg: the connection settings dialog. The user chooses a serial port with its
// speed, or TCP/IP with an address and port, plus the device number and the extra delay.
// Created once with the main window and shown modally by the connection's
// ShowSettingsDialog; OK writes the fields into the connection, Cancel leaves it. The
// fields keep their contents between showings; the extra delay shows what the connection
// last loaded or overrode, or what the user last confirmed.
//
// The ports offered are those the system's device list knows (QSerialPortInfo, fed by
// udev); finding them opens no port. A port typed into the list that is not found (a
// pseudo-terminal such as /dev/pts/3) is kept as typed.

#include "link/Connection.h"
#include "link/SerialPortNames.h"
#include "link/SettingsDialog.h"

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace vx4 {

class TIPEdit;

class TSetPortDlg : public QDialog, public SettingsDialog, public ConnectionListener {
    Q_OBJECT
public:
    static constexpr int NarrowWidth = 167; // the port tree hidden
    static constexpr int WideWidth = 390;   // the port tree shown

    using PortSource = std::function<std::vector<SerialPortEntry>()>;

    explicit TSetPortDlg(QWidget* parent = nullptr);

    // The serial ports present, as the system's device list describes them.
    static std::vector<SerialPortEntry> FindSerialPorts();
    // Their names, sorted by kind and then by number (ttyS2 before ttyS10).
    static std::vector<std::string> ListSerialPorts();

    // Tests give the dialog a fixed list of ports instead of the system's.
    void SetPortSource(PortSource source);

    // SettingsDialog.
    void SetDevNomEnabled(bool enabled) override;
    bool ShowModalAt(int x, int y, connection& conn) override;
    std::uint32_t DevNomNumber() override;

    // ConnectionListener: values the connection loaded or overrode.
    void SettingShown(Field field, const std::string& text) override;

    // The steps of a showing, apart for tests: fill the fields from the connection and
    // rebuild the port tree (no window is shown).
    void Prepare(connection& conn);
    void FormShow();
    void OKBtnClick();
    void CancelBtnClick();
    void OpenPortsTreeViewExecute();
    void TreeViewChanging(QTreeWidgetItem* node);
    // True when the key is to be discarded: anything typed but a decimal digit.
    static bool E_DevNomKeyPress(const QKeyEvent& key);
    void E_TCPIP_PortKeyUp();

    bool TreeShown() const { return treeShown_; }

    // The controls, for tests and screenshots.
    QComboBox* CB_Port = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QLineEdit* E_TCPIP_Port = nullptr;
    TIPEdit* IPEdit = nullptr;
    QComboBox* CB_Speed = nullptr;
    QLineEdit* E_AuxTmout = nullptr;
    QLineEdit* E_DevNom = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QTreeWidget* TreeView = nullptr;
    QAction* OpenPortsTreeView = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SelectSpeed(const std::string& text);
    void ApplyWidth();

    PortSource portSource_;
    connection* conn_ = nullptr; // while shown
    std::string auxShown_ = "0"; // what E_AuxTmout shows when the user has not confirmed
    bool treeShown_ = false;
    int columnHeight_ = 0;
};

} // namespace vx4
