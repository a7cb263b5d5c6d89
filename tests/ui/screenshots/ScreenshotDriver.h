#pragma once
// Drives the console's main window through a fixed sequence and saves a PNG after each step
// into a folder, then quits: start polling, select the device root, expand a system and
// select its calculated values, plot and export values, the settings dialog, the graduation
// viewer, the About box, the system events, the link test running, a download with its
// progress window. With a monitor kind (vx3c or vx2) it opens that frame monitor instead,
// starts the capture and saves it in both styles.

#include <QString>

namespace vx4 {

class Tvx4pult_MainForm;

// Starts once the event loop runs; plotSeconds is how long values are plotted.
void StartScreenshotDriver(Tvx4pult_MainForm& form, const QString& dir, const QString& monitor, int plotSeconds);

} // namespace vx4
