#include "ui/monitors/Unit_vx2_monitor.h"

#include <QToolBar>
#include <QToolButton>

namespace vx4 {

Tvx2_monitor::Tvx2_monitor(QWidget* parent, connection& conn, std::function<std::uint32_t()> devNo)
    : TFrameMonitorForm(parent, conn, std::make_unique<CVx2Monitor>(),
                        Setup{QStringLiteral("vx2 монитор"), QStringLiteral("VX2_"), true}, std::move(devNo)),
      monitor_(static_cast<CVx2Monitor*>(&MonitorBase()))
{
    setObjectName("vx2_monitor");
    ToolButtonShowType = new QToolButton(ToolBar1);
    ToolButtonShowType->setObjectName("ToolButtonShowType");
    ToolButtonShowType->setText(QStringLiteral("Все"));
    ToolButtonShowType->setToolButtonStyle(Qt::ToolButtonTextOnly);
    ToolBar1->addWidget(ToolButtonShowType);
    connect(ToolButtonShowType, &QToolButton::clicked, this, &Tvx2_monitor::ToolButtonShowTypeClick);
}

Tvx2_monitor::~Tvx2_monitor() = default;

void Tvx2_monitor::ToolButtonShowTypeClick()
{
    // The caption names the filter in force; it acts on lines built after the click.
    std::uint8_t filter = std::uint8_t(monitor_->showFilter + 1);
    if (filter >= 3)
        filter = CVx2Monitor::ShowAll;
    static const char* const captions[] = {"Все", "Запр.", "Отв."};
    ToolButtonShowType->setText(QString::fromUtf8(captions[filter]));
    monitor_->showFilter = filter;
}

} // namespace vx4
