#pragma once
// TSysEventForm: the list of the device's system events. The main window reads the events
// (SysEventClick) and hands them over; the window shows them under the title row "TaskID",
// "EvCode", "TStamp", "EvCnt", "Текст сообщения" and saves them as tab-separated CP1251
// text ("Файл" / "Сохранить"). It lives for the whole program run and keeps the last list
// between showings.

#include "common/SystemEventsText.h"
#include "link/Vx4Records.h"

#include <QDialog>

#include <cstdint>
#include <vector>

class QTableWidget;

namespace vx4 {

class TSysEventForm : public QDialog {
    Q_OBJECT
public:
    explicit TSysEventForm(QWidget* parent);

    // Fills the table from row 1 with these events and sets its length anew.
    void SetEvents(const std::vector<SSysEvent>& events);
    // The device number the proposed file name carries.
    void SetDeviceNumber(std::uint32_t devNo) { devNo_ = devNo; }

    void FormCreate();
    // "Сохранить": asks for a file (proposed "VX4_<devNo>_events.txt") and writes the table.
    void N2Click();
    // "Выйти".
    void N3Click();
    // Writes the table to path, replacing the file; an error text, empty on success.
    QString SaveTo(const QString& path) const;

    QTableWidget* Grid() const { return StringGrid1; }

private:
    QTableWidget* StringGrid1 = nullptr;
    std::vector<SystemEventRow> rows_; // the cells as the device sent them (CP1251)
    std::uint32_t devNo_ = 0;
};

} // namespace vx4
