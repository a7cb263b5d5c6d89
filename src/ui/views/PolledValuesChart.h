#pragma once
// Chart1: the line chart of the polled values on the page "График". One line series per
// list entry, in the list's order, titled with the entry's caption; X is the local time of
// each sample on a date-time axis labelled "HH:mm:ss" (turned 90°, at least 20 pixels
// apart), Y the value. Each series keeps its last 100 points. The chart has no title.
//
// The axes follow the points of the shown series after every tick. Turning the mouse wheel
// zooms in or out around the pointer and a rectangle drawn with the left button zooms into
// it; while zoomed the axes stay where the user put them. A right click (or Home) goes
// back to the whole range.
//
// User-interface thread only.

#include <QChartView>
#include <QColor>

#include <vector>

class QDateTimeAxis;
class QLineSeries;
class QValueAxis;

namespace vx4 {

class TPolledValuesChart : public QChartView {
    Q_OBJECT
public:
    static constexpr int MaxPoints = 100;

    explicit TPolledValuesChart(QWidget* parent = nullptr);

    // A new, shown series at position index (0..SeriesCount()).
    void InsertSeries(int index, const QString& title);
    void RemoveSeries(int index);
    // Hides or shows a series; its points are kept either way.
    void SetSeriesVisible(int index, bool visible);
    // Adds a point (epochMs: milliseconds since the epoch, UTC); the oldest point goes
    // first when the series holds MaxPoints already.
    void AddPoint(int index, qint64 epochMs, double value);
    // Fits the axes to the shown points unless the user zoomed.
    void Refresh();
    void Clear();

    int SeriesCount() const { return int(series_.size()); }
    QLineSeries* SeriesAt(int index) const { return series_[std::size_t(index)]; }
    bool IsZoomed() const { return zoomed_; }
    void ZoomAt(QPointF position, double factor);
    void ResetZoom();
    QDateTimeAxis* AxisX() const { return axisX_; }
    QValueAxis* AxisY() const { return axisY_; }

protected:
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateTickCount();
    void ReaddInOrder();

    QDateTimeAxis* axisX_ = nullptr;
    QValueAxis* axisY_ = nullptr;
    std::vector<QLineSeries*> series_;
    int colorIndex_ = 0;
    bool zoomed_ = false;
};

} // namespace vx4
