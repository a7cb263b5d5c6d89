#pragma once
// A test hook for screenshot runs: when the environment variable VX4PULT_SCREENSHOTS names a
// folder, the console drives itself through a fixed sequence (start polling, select the
// device root, expand a system and select its calculated values, the About box, the system
// events, the link test running, a download with its progress window) and saves a PNG
// after each step into that folder, then quits. Without the variable nothing
// happens.

namespace vx4 {

class Tvx4pult_MainForm;

void StartScreenshotDriverFromEnvironment(Tvx4pult_MainForm& form);

} // namespace vx4
