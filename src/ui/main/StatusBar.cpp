#include "ui/main/StatusBar.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>

namespace vx4 {

namespace {
constexpr int PanelWidths[TStatusBar::PanelCount - 1] = {200, 120};
}

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName("StatusBar");
    setSizeGripEnabled(false);
    for (int i = 0; i < PanelCount; ++i) {
        auto* label = new QLabel(this);
        label->setObjectName(QString("StatusPanel%1").arg(i));
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        label->setContentsMargins(3, 0, 3, 0);
        label->installEventFilter(this);
        if (i < PanelCount - 1) {
            // A fixed panel grows only when its text would not fit (the clock in a large font).
            label->setMinimumWidth(PanelWidths[i]);
            addWidget(label, 0);
        } else {
            label->setMinimumWidth(50);
            addWidget(label, 1);
        }
        panels_[i] = label;
    }
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
    if (panel < 0 || panel >= PanelCount) return;
    QLabel* label = panels_[panel];
    if (label->text() == text) return;
    label->setText(text);
    label->setToolTip(text); // the whole text even when the panel cuts it
    if (panel > 0 && panel < PanelCount - 1) {
        const int need = label->fontMetrics().horizontalAdvance(text) + 12;
        label->setMinimumWidth(std::max(PanelWidths[panel], need));
    }
}

QString TStatusBar::PanelText(int panel) const {
    return panel >= 0 && panel < PanelCount ? panels_[panel]->text() : QString();
}

QRect TStatusBar::PanelRect(int panel) const {
    return panel >= 0 && panel < PanelCount ? panels_[panel]->geometry() : QRect();
}

int TStatusBar::PanelWidth(int panel) const { return PanelRect(panel).width(); }

void TStatusBar::resizeEvent(QResizeEvent* event) {
    QStatusBar::resizeEvent(event);
    emit resized();
}

void TStatusBar::mouseDoubleClickEvent(QMouseEvent* event) {
    QStatusBar::mouseDoubleClickEvent(event);
    emit doubleClicked();
}

bool TStatusBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == panels_[0] && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        emit resized();
    return QStatusBar::eventFilter(watched, event);
}

} // namespace vx4
