#pragma once
// TParameterMapReport: the File menu item "Печать карты настр. парам." and what it does.
// The reports themselves are built by the core (office/DocumentReports.h) inside the
// operation frame, so the window keeps painting while the graduation pairs are read; the
// device object's polling goes on meanwhile. Afterwards every document written is opened
// with the desktop's default application; when none can open it, the user is told where the
// document lies. A template, mark or table that is missing ends the report with a message
// naming it; documents written before stay.

#include "office/DocumentReports.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QAction;
class QWidget;

namespace vx4 {

class CVX4Obj;
class COptionBank;
class ManualOperation;

class TParameterMapReport : public QObject {
    Q_OBJECT
public:
    TParameterMapReport(QWidget* window, CVX4Obj& device, const COptionBank& constBank, ManualOperation& frame);

    // The menu item (object name "N4"); the caller places it in the File menu.
    QAction* MenuItem() const { return N4; }
    void N4Click();

    // For tests: other templates or folder than DefaultReportFiles(), and another way of
    // opening a document than the desktop's.
    void SetFiles(const ReportFiles& files) { files_ = files; }
    void SetOpener(std::function<bool(const QString& path)> opener) { opener_ = std::move(opener); }
    const ReportOutcome& LastOutcome() const { return outcome_; }

private:
    QWidget* window_;
    CVX4Obj& device_;
    const COptionBank& bank_;
    ManualOperation& frame_;
    QAction* N4 = nullptr;
    std::optional<ReportFiles> files_;
    std::function<bool(const QString&)> opener_;
    ReportOutcome outcome_;
};

} // namespace vx4
