#pragma once
// A test hook for screenshot runs: when the environment variable VX4PULT_SCREENSHOTS names a
// folder, the console drives itself through a fixed sequence (start polling, select the
// device root, expand a system and select its calculated values, plot and export values, the
// settings dialog, the graduation viewer, the About box, the system events, the link test
// running, a download with its progress window) and saves a PNG after each step into that
// folder, then quits. With VX4PULT_SCREENSHOT_MONITOR set to vx3c or vx2 it opens that frame
// monitor instead, starts the capture and saves it in both styles. Without the variables
// nothing happens.

namespace vx4 {

class Tvx4pult_MainForm;

void StartScreenshotDriverFromEnvironment(Tvx4pult_MainForm& form);

} // namespace vx4
