#include "ui/dialogs/About.h"
#include "ui/dialogs/ScreenPlacement.h"

#include "ui/views/TreeIcons.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>

#ifndef VX4_VERSION
#define VX4_VERSION ""
#endif

namespace vx4 {

QString VersionLabelText(const QString& version) {
    const QString design = QStringLiteral("Версия: ");
    QStringList parts = version.split('.');
    if (version.isEmpty() || parts.size() > 4) return design;
    for (const QString& p : parts) {
        bool ok = false;
        p.toUInt(&ok);
        if (!ok) return design;
    }
    while (parts.size() < 4) parts << "0";
    return design + parts.join('.');
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutBox");
    setWindowTitle(QStringLiteral("О программе"));
    setModal(true);

    auto* icon = new QLabel(this);
    icon->setPixmap(TreeIconPixmap(0).scaled(32, 32));
    auto* product = new QLabel(QStringLiteral("Удаленный пульт управления  VX-4"), this);
    version_ = new QLabel(VersionLabelText(QStringLiteral(VX4_VERSION)), this);
    auto* comment =
        new QLabel(QStringLiteral("    Программа предназначена для обмена данными с VX-4 по протоколу  vx3c"), this);
    comment->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(product, 0, 1);
    grid->addWidget(version_, 1, 1);
    grid->addWidget(comment, 2, 0, 1, 2);
    grid->addWidget(buttons, 3, 0, 1, 2, Qt::AlignCenter);
    grid->setSizeConstraint(QLayout::SetFixedSize); // fixed border
    comment->setMinimumWidth(300);
}

QString TAboutBox::VersionText() const { return version_->text(); }

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (QWidget* p = parentWidget()) {
        // Centred on the main window.
        QPoint centre = p->geometry().center();
        MoveOnScreen(this, QPoint(centre.x() - width() / 2, centre.y() - height() / 2));
    }
}

} // namespace vx4
