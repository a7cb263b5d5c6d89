#pragma once
// The console's texts for result codes: the device's refusals 246..254 and the answer
// time-out 1016. Each text begins with a blank so that it can stand behind the number.
// Shared by the windows and the command-line tool.

namespace vx4 {

// UTF-8 text for code, or nullptr when the console has none for it.
const char* ResultCodeText(int code);

// The text of ResultCodeText when there is one, else a short text for the link's and the
// frames' own failures (1001..1053), else nullptr. Begins with a blank like the others. For
// places that name the reason of a failure; the status bar's last-error field keeps to
// ResultCodeText.
const char* FailureText(int code);

} // namespace vx4
