#pragma once
// A check hook for installed copies: when the environment variable VX4PULT_CHECK_START is
// set (to anything but empty), the console starts as usual, and once its main window has
// been activated it prints the files it uses and quits:
//
//   settings: <path of vx4pult.ini>
//   calcbank.xml: <path of the bank opened>      (or "calcbank.xml: not opened")
//   constbank.xml: <path of the bank opened>
//
// Error boxes are printed to standard error ("error: <text>") instead of shown. The exit
// status is 0 when both banks were opened and no error was shown, else 1. Package tests
// use it to see that an unpacked console starts and finds its data. Without the variable
// nothing happens.

namespace vx4 {

class Tvx4pult_MainForm;

void StartStartCheckFromEnvironment(Tvx4pult_MainForm& form);

} // namespace vx4
