#pragma once
// The console's texts for result codes: the device's refusals 246..254 and the answer
// time-out 1016. Each text begins with a blank so that it can stand behind the number.
// Shared by the windows and the command-line tool.

namespace vx4 {

// UTF-8 text for code, or nullptr when the console has none for it.
const char* ResultCodeText(int code);

} // namespace vx4
