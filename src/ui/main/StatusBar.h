#pragma once
// StatusBar of the main window: three panels side by side (200 and 120 pixels wide, the
// third taking the rest), hints shown as tool tips, a double click reported to the owner.

#include <QRect>
#include <QStatusBar>

class QLabel;

namespace vx4 {

class TStatusBar : public QStatusBar {
    Q_OBJECT
public:
    static constexpr int PanelCount = 3;

    explicit TStatusBar(QWidget* parent);

    void SetPanelText(int panel, const QString& text);
    QString PanelText(int panel) const;
    // Rectangle of a panel in the status bar's coordinates.
    QRect PanelRect(int panel) const;
    int PanelWidth(int panel) const;

signals:
    // The bar or one of its panels changed size or place (StatusBarResize follows).
    void resized();
    void doubleClicked();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* panels_[PanelCount] = {};
};

} // namespace vx4
