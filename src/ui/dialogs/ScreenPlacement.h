#pragma once
// Where a window may stand: wholly on the screen that holds (most of) the wanted place, or
// the primary screen when none does. A saved position from another monitor layout, or a
// window centred on a parent near the screen's edge, is moved inside.

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace vx4 {

// The top-left corner for a window of frame size `frame` wanted at `topLeft` within `area`
// (a screen's available geometry): moved inside it, and to its top left when the window is
// larger than the area.
QPoint ClampToArea(QPoint topLeft, QSize frame, const QRect& area);

// Moves w to topLeft, kept on the screen as ClampToArea keeps it.
void MoveOnScreen(QWidget* w, QPoint topLeft);

} // namespace vx4
