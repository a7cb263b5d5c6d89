#pragma once
// TAboutBox: the modal "О программе" dialog with the program's version from the build.

#include <QDialog>
#include <QString>

class QLabel;

namespace vx4 {

// "Версия: " followed by the four dot-separated parts of version ("1.5.12" reads as
// 1.5.12.0); the design text "Версия: " alone when the version is empty or not a version.
QString VersionLabelText(const QString& version);

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent);
    QString VersionText() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLabel* version_ = nullptr;
};

} // namespace vx4
