#include "ui/dialogs/ScreenPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace vx4 {

QPoint ClampToArea(QPoint topLeft, QSize frame, const QRect& area)
{
    if (!area.isValid()) return topLeft;
    const int x = std::max(area.left(), std::min(topLeft.x(), area.right() + 1 - frame.width()));
    const int y = std::max(area.top(), std::min(topLeft.y(), area.bottom() + 1 - frame.height()));
    return {x, y};
}

void MoveOnScreen(QWidget* w, QPoint topLeft)
{
    // The frame around the client area, as far as it is known before the first show.
    const QSize extra = w->frameGeometry().size() - w->geometry().size();
    const QSize frame = w->size() + (extra.isValid() ? extra : QSize());
    const QRect wanted(topLeft, frame);
    QScreen* screen = QGuiApplication::screenAt(wanted.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    w->move(screen ? ClampToArea(topLeft, frame, screen->availableGeometry()) : topLeft);
}

} // namespace vx4
