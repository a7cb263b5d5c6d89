#include "ui/views/PolledValuesChart.h"

#include <QDateTime>
#include <QDateTimeAxis>
#include <QKeyEvent>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace vx4 {

namespace {

// Line colours, one after another as series are created (the chart keeps a series' colour
// when it is moved).
const QColor Palette[] = {QColor(255, 0, 0),   QColor(0, 128, 0),   QColor(0, 0, 255),  QColor(255, 128, 0),
                          QColor(128, 0, 128), QColor(0, 160, 160), QColor(128, 128, 0), QColor(255, 0, 255),
                          QColor(0, 0, 128),   QColor(128, 64, 0),  QColor(96, 96, 96),  QColor(0, 200, 0)};

constexpr int MinLabelSpacing = 20; // pixels between date-time labels, at least

} // namespace

TPolledValuesChart::TPolledValuesChart(QWidget* parent) : QChartView(new QChart, parent)
{
    setObjectName(QStringLiteral("Chart1"));
    QChart* c = chart();
    c->setTitle(QString());
    c->legend()->setAlignment(Qt::AlignRight);
    c->setMargins(QMargins(4, 4, 4, 4));
    c->setAnimationOptions(QChart::NoAnimation);
    axisX_ = new QDateTimeAxis(c);
    axisX_->setFormat(QStringLiteral("HH:mm:ss"));
    axisX_->setLabelsAngle(-90);
    axisY_ = new QValueAxis(c);
    axisY_->setLabelFormat(QStringLiteral("%g"));
    c->addAxis(axisX_, Qt::AlignBottom);
    c->addAxis(axisY_, Qt::AlignLeft);
    const QDateTime now = QDateTime::currentDateTime();
    axisX_->setRange(now.addSecs(-60), now);
    axisY_->setRange(0, 1);
    setRenderHint(QPainter::Antialiasing, false);
    setRubberBand(QChartView::RectangleRubberBand);
    setFocusPolicy(Qt::ClickFocus);
    UpdateTickCount();
}

void TPolledValuesChart::InsertSeries(int index, const QString& title)
{
    index = std::clamp(index, 0, SeriesCount());
    auto* s = new QLineSeries;
    s->setName(title);
    s->setColor(Palette[colorIndex_++ % int(std::size(Palette))]);
    connect(s, &QLineSeries::hovered, this,
            [this](const QPointF&, bool state) { viewport()->setCursor(state ? Qt::CrossCursor : Qt::ArrowCursor); });
    series_.insert(series_.begin() + index, s);
    if (index == SeriesCount() - 1) {
        chart()->addSeries(s); // the chart owns it
        s->attachAxis(axisX_);
        s->attachAxis(axisY_);
    } else {
        ReaddInOrder();
    }
}

// The legend lists series in the order they were added to the chart: add them again in the
// list's order.
void TPolledValuesChart::ReaddInOrder()
{
    QChart* c = chart();
    for (QLineSeries* s : series_)
        if (s->chart() == c)
            c->removeSeries(s);
    for (QLineSeries* s : series_) {
        const bool visible = s->isVisible();
        const QColor color = s->color();
        c->addSeries(s);
        s->setColor(color);
        s->attachAxis(axisX_);
        s->attachAxis(axisY_);
        s->setVisible(visible);
    }
}

void TPolledValuesChart::RemoveSeries(int index)
{
    if (index < 0 || index >= SeriesCount())
        return;
    QLineSeries* s = series_[std::size_t(index)];
    series_.erase(series_.begin() + index);
    chart()->removeSeries(s);
    delete s;
    Refresh();
}

void TPolledValuesChart::SetSeriesVisible(int index, bool visible)
{
    if (index < 0 || index >= SeriesCount())
        return;
    QLineSeries* s = series_[std::size_t(index)];
    s->setVisible(visible);
    for (QLegendMarker* m : chart()->legend()->markers(s))
        m->setVisible(visible);
    Refresh();
}

void TPolledValuesChart::AddPoint(int index, qint64 epochMs, double value)
{
    if (index < 0 || index >= SeriesCount())
        return;
    QLineSeries* s = series_[std::size_t(index)];
    if (s->count() >= MaxPoints)
        s->removePoints(0, s->count() - MaxPoints + 1);
    s->append(double(epochMs), value);
}

void TPolledValuesChart::Refresh()
{
    if (zoomed_)
        return;
    double xMin = std::numeric_limits<double>::infinity(), xMax = -xMin;
    double yMin = xMin, yMax = -xMin;
    for (QLineSeries* s : series_) {
        if (!s->isVisible())
            continue;
        for (const QPointF& p : s->points()) {
            xMin = std::min(xMin, p.x());
            xMax = std::max(xMax, p.x());
            if (std::isfinite(p.y())) {
                yMin = std::min(yMin, p.y());
                yMax = std::max(yMax, p.y());
            }
        }
    }
    if (xMin > xMax) {
        const QDateTime now = QDateTime::currentDateTime();
        axisX_->setRange(now.addSecs(-60), now);
    } else {
        if (xMax - xMin < 1000)
            xMax = xMin + 1000;
        axisX_->setRange(QDateTime::fromMSecsSinceEpoch(qint64(xMin)), QDateTime::fromMSecsSinceEpoch(qint64(xMax)));
    }
    if (yMin > yMax) {
        yMin = 0;
        yMax = 1;
    } else if (yMax - yMin < 1e-9 * std::max(1.0, std::abs(yMax))) {
        const double pad = std::max(1.0, std::abs(yMax) * 0.1);
        yMin -= pad;
        yMax += pad;
    } else {
        const double pad = (yMax - yMin) * 0.05;
        yMin -= pad;
        yMax += pad;
    }
    axisY_->setRange(yMin, yMax);
    axisY_->applyNiceNumbers();
}

void TPolledValuesChart::Clear()
{
    for (QLineSeries* s : series_) {
        chart()->removeSeries(s);
        delete s;
    }
    series_.clear();
    colorIndex_ = 0;
    ResetZoom();
}

void TPolledValuesChart::ZoomAt(QPointF position, double factor)
{
    const QRectF area = chart()->plotArea();
    if (!area.contains(position) || factor <= 0)
        return;
    QRectF r(0, 0, area.width() / factor, area.height() / factor);
    r.moveCenter(position - (position - area.center()) / factor);
    chart()->zoomIn(r);
    zoomed_ = true;
}

void TPolledValuesChart::ResetZoom()
{
    chart()->zoomReset();
    zoomed_ = false;
    Refresh();
}

void TPolledValuesChart::wheelEvent(QWheelEvent* event)
{
    const int steps = event->angleDelta().y() / 120;
    if (steps == 0) {
        event->ignore();
        return;
    }
    ZoomAt(event->position(), std::pow(1.25, steps));
    event->accept();
}

void TPolledValuesChart::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        event->accept(); // the release goes back to the whole range
        return;
    }
    QChartView::mousePressEvent(event);
}

void TPolledValuesChart::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        ResetZoom();
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
    if (chart()->isZoomed())
        zoomed_ = true;
}

void TPolledValuesChart::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Home) {
        ResetZoom();
        event->accept();
        return;
    }
    QChartView::keyPressEvent(event);
}

void TPolledValuesChart::resizeEvent(QResizeEvent* event)
{
    QChartView::resizeEvent(event);
    UpdateTickCount();
}

void TPolledValuesChart::UpdateTickCount()
{
    // A label per 20 pixels at least; a label turned 90° is a line of text wide, so give
    // each about two lines.
    const int spacing = std::max(MinLabelSpacing, 2 * fontMetrics().height());
    const int width = int(chart()->plotArea().width());
    axisX_->setTickCount(std::clamp(width / spacing + 1, 2, 40));
}

} // namespace vx4
