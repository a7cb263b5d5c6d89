#pragma once
// TGIGEShowForm: the graduation pairs of one flow transducer: the table of pairs, a chart
// of Ge over Gi and a chart of each pair's deviation from the straight line through the
// origin and the pair of largest |Ge|. It reads the pairs through the device object inside
// the operation frame (the window keeps painting while the relay exchanges run) and saves
// the table as a .dar file.

#include "common/GiGeArray.h"

#include <QDialog>
#include <QPointF>

#include <cstdint>
#include <string>
#include <vector>

class QAction;
class QChart;
class QChartView;
class QLineEdit;
class QLineSeries;
class QTableView;
class QValueAxis;

namespace vx4 {

class CVX4Obj;
class GiGeTableModel;
class ManualOperation;
class ZoomChartView;

class TGIGEShowForm : public QDialog {
    Q_OBJECT
public:
    TGIGEShowForm(QWidget* parent, ManualOperation& operation);
    ~TGIGEShowForm() override;

    // Remembers the device object and the transducer, empties the view, loads the pairs
    // when the number is not 0 and shows the window modally.
    void ShowFor(CVX4Obj& device, std::int32_t transducerNo);
    // ShowFor without showing the window (tests, screenshots).
    void Prepare(CVX4Obj& device, std::int32_t transducerNo);

    void LoadFromVXClick();
    // Save: Log/%08d.dar in the folder for the user's files; false (after an error box)
    // when it cannot be written.
    bool SaveClick();
    void SaveAsClick();
    // Writes the table as a .dar file; an error box tells the user when it cannot.
    bool WriteDar(const std::string& path);

    // The path Save writes for a transducer; empty when the folder cannot be created.
    static std::string SavePath(std::int32_t transducerNo);
    // Chart2's points: (Gi, deviation in per cent) of every pair with Ge not 0; none for
    // fewer than two pairs or a reference pair with Gi 0.
    static std::vector<QPointF> DeviationPoints(const std::vector<GiGePair>& pairs);

    std::int32_t TransducerNo() const { return transducerNo; }
    const GiGeTableModel& Model() const { return *model_; }
    QLineSeries& Series1() const { return *series1_; }
    QLineSeries& Series2() const { return *series2_; }
    ZoomChartView& Chart1() const { return *chartView1_; }
    QChartView& Chart2() const { return *chartView2_; }
    QValueAxis& Axis1X() const { return *axis1X_; }
    QValueAxis& Axis2X() const { return *axis2X_; }
    QLineEdit* Edit_ZFLAddr = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ClearView();
    void FillView();
    void RebuildDeviation();
    void FollowChart1(bool zoomed);
    static void ScaleAxes(QLineSeries& series, QValueAxis& x, QValueAxis& y, bool xToo);

    ManualOperation& operation_;
    CVX4Obj* device = nullptr;
    std::int32_t transducerNo = 0;
    CGiGeArray table;

    GiGeTableModel* model_ = nullptr;
    QTableView* StringGrid1 = nullptr;
    QChart* chart1_ = nullptr;
    QChart* chart2_ = nullptr;
    ZoomChartView* chartView1_ = nullptr;
    QChartView* chartView2_ = nullptr;
    QLineSeries* series1_ = nullptr;
    QLineSeries* series2_ = nullptr;
    QValueAxis* axis1X_ = nullptr;
    QValueAxis* axis1Y_ = nullptr;
    QValueAxis* axis2X_ = nullptr;
    QValueAxis* axis2Y_ = nullptr;
    QAction* Save = nullptr;
    QAction* SaveAs = nullptr;
    QAction* LoadFromVX = nullptr;
};

} // namespace vx4
