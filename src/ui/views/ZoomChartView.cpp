#include "ui/views/ZoomChartView.h"

#include <QMouseEvent>
#include <QRubberBand>
#include <QWheelEvent>

namespace vx4 {

ZoomChartView::ZoomChartView(QChart* chart, QWidget* parent) : QChartView(chart, parent)
{
    setRubberBand(QChartView::NoRubberBand); // the view's own handling below
    setRenderHint(QPainter::Antialiasing);
    band_ = new QRubberBand(QRubberBand::Rectangle, viewport());
}

void ZoomChartView::ZoomTo(const QRectF& rect)
{
    const QRectF r = rect.intersected(chart()->plotArea());
    if (r.width() < 1 || r.height() < 1)
        return;
    chart()->zoomIn(r);
    zoomed_ = true;
    emit viewChanged(true);
}

void ZoomChartView::ScrollBy(qreal dx, qreal dy)
{
    chart()->scroll(dx, dy);
    zoomed_ = true;
    emit viewChanged(true);
}

void ZoomChartView::UndoZoom()
{
    zoomed_ = false;
    emit viewChanged(false);
}

void ZoomChartView::mousePressEvent(QMouseEvent* event)
{
    origin_ = last_ = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        selecting_ = true;
        band_->setGeometry(QRect(origin_, QSize()));
        band_->show();
    } else if (event->button() == Qt::RightButton) {
        scrolling_ = true;
        setCursor(Qt::ClosedHandCursor);
    }
    event->accept();
}

void ZoomChartView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (selecting_) {
        band_->setGeometry(QRect(origin_, p).normalized());
    } else if (scrolling_) {
        const QPoint d = p - last_;
        last_ = p;
        if (!d.isNull())
            ScrollBy(-d.x(), d.y());
    }
    event->accept();
}

void ZoomChartView::mouseReleaseEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (selecting_ && event->button() == Qt::LeftButton) {
        selecting_ = false;
        band_->hide();
        if (p.x() > origin_.x() + 3 && p.y() > origin_.y() + 3)
            ZoomTo(QRectF(origin_, p));
        else if (p.x() < origin_.x() - 3 || p.y() < origin_.y() - 3)
            UndoZoom();
    } else if (scrolling_ && event->button() == Qt::RightButton) {
        scrolling_ = false;
        unsetCursor();
    }
    event->accept();
}

void ZoomChartView::wheelEvent(QWheelEvent* event)
{
    const int steps = event->angleDelta().y() / 120;
    if (steps == 0)
        return;
    const QRectF area = chart()->plotArea();
    const qreal factor = steps > 0 ? 0.8 : 1.25;
    QRectF r(0, 0, area.width() * factor, area.height() * factor);
    r.moveCenter(area.center());
    chart()->zoomIn(r);
    zoomed_ = true;
    emit viewChanged(true);
    event->accept();
}

} // namespace vx4
