#pragma once
// A key press that reaches the application the way the platform delivers one: queued with
// the window system's events, not sent straight to a widget as QTest sends it. Input held
// back by an event loop (ExcludeUserInputEvents) waits in that queue, so only a queued key
// shows what an operation does with keys pressed while it runs.
//
// Qt's platform interface declares this entry point in a header that is not installed
// here; the declaration below matches the one QtGui exports.

#include <QEvent>
#include <QString>
#include <QWindow>

class QWindowSystemInterface {
public:
    class AsynchronousDelivery;
    template <typename Delivery>
    static bool handleKeyEvent(QWindow* window, QEvent::Type t, int k, Qt::KeyboardModifiers mods,
                               const QString& text = QString(), bool autorep = false, ushort count = 1);
};

namespace vx4::uitest {

// Queues a press and a release of key for window.
inline void QueueKeyClick(QWindow* window, Qt::Key key)
{
    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(window, QEvent::KeyPress,
                                                                                         key, Qt::NoModifier);
    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(window, QEvent::KeyRelease,
                                                                                         key, Qt::NoModifier);
}

} // namespace vx4::uitest
