#include "ui/MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace vx4 {

namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

void ShowErrorBox(QWidget* parent, const QString& text) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace vx4

namespace vx4 {

void ShowErrorBox(QWidget* parent, const QString& text, const QString& caption) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace vx4
