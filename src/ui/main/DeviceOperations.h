#pragma once
// The main window's one-shot device operations from its menus: device search, clock
// setting, clock test, file download, system events and the link test. Each runs inside
// the operation frame (ManualOperation), whose worker thread does the device work while
// the window keeps painting; the messages are the window's, shown afterwards on its thread.
//
// User-interface thread only.

#include <QObject>

#include <cstdint>
#include <ctime>
#include <functional>

class QMainWindow;
class QProgressBar;
class QWidget;

namespace vx4 {

class CVX4Obj;
class connection;
class ManualOperation;
class TSysEventForm;
class TTestConnForm;

// What the operations work with; everything belongs to the main window and outlives them.
struct DeviceOperationsContext {
    QMainWindow& window;
    connection& conn;
    CVX4Obj& device;
    ManualOperation& operations;
    QProgressBar& progressBar;
    QWidget& tree;
    QWidget& editor;
    TSysEventForm& sysEventForm;
    TTestConnForm& testConnForm;
    std::uint32_t& devNo;
    std::function<void(float)> setProgress; // the main window's SetProgress
};

class TDeviceOperations : public QObject {
    Q_OBJECT
public:
    TDeviceOperations(QObject* parent, DeviceOperationsContext context);

    void N91Click();          // "Поиск VX-4"
    void SyncTimeClick();     // "Синхр. время"
    void TestRTCClick();      // "Тест RTC"
    void LoadFromVX4Click();  // "Выгрузить из VX4"
    void SysEventClick();     // "Сист. события"
    void TestConnectClick();  // "Тест связи"

    // The download itself, to a path already chosen: refuses a local file that cannot be
    // created before any traffic; on failure (or Cancel) no file is left there.
    void DownloadTo(const QString& path);

    // The computer's local time for the clock setting (tests give a fixed one).
    void SetLocalTimeSource(std::function<std::tm()> now) { now_ = std::move(now); }

    // The filters of the download dialog, in order.
    static QStringList DownloadFilters();

signals:
    // The search found a device.
    void deviceFound();

private:
    void SetBusyCursors(bool busy);

    DeviceOperationsContext c_;
    std::function<std::tm()> now_;
};

} // namespace vx4
