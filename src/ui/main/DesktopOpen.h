#pragma once
// Opening a file with the desktop's default application for its type.

#include <QString>

namespace vx4 {

// False when no application could be started for the file.
bool OpenWithDesktop(const QString& path);

} // namespace vx4
