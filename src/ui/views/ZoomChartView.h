#pragma once
// ZoomChartView: a chart view zoomed and scrolled by mouse. Dragging with the left button
// down and to the right zooms into the rectangle; dragging up or to the left undoes the
// zoom; dragging with the right button scrolls. The wheel zooms around the middle.
// Undoing the zoom leaves the axes to the owner, which scales them to its data again on
// viewChanged(false) (zooming in or scrolling never widens the axes' ranges much, so ticks
// laid out for the old range stay few).

#include <QChartView>

class QRubberBand;

namespace vx4 {

class ZoomChartView : public QChartView {
    Q_OBJECT
public:
    explicit ZoomChartView(QChart* chart, QWidget* parent = nullptr);

    // True while the chart shows a zoomed or scrolled part.
    bool Zoomed() const { return zoomed_; }
    // Zooms into a rectangle of the plot area (widget coordinates) or undoes the zoom, as
    // the mouse does.
    void ZoomTo(const QRectF& rect);
    void ScrollBy(qreal dx, qreal dy);
    void UndoZoom();

signals:
    // After every zoom, scroll or undo; zoomed tells which of them. On an undo the owner
    // sets the axes' ranges again.
    void viewChanged(bool zoomed);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    QRubberBand* band_ = nullptr;
    QPoint origin_;
    QPoint last_;
    bool selecting_ = false;
    bool scrolling_ = false;
    bool zoomed_ = false;
};

} // namespace vx4
