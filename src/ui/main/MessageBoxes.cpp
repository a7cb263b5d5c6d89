#include "ui/main/MessageBoxes.h"

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
    ShowErrorBox(parent, text, QApplication::applicationDisplayName());
}

void ShowErrorBox(QWidget* parent, const QString& text, const QString& caption) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace vx4
