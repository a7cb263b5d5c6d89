#include "ui/main/DesktopOpen.h"

#include <QDesktopServices>
#include <QUrl>

namespace vx4 {

bool OpenWithDesktop(const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }

} // namespace vx4
