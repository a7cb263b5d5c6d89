#pragma once
// Where the programs keep and look for their files. A portable copy keeps everything
// beside the program; an installed one (in an unwritable folder such as /usr/bin) follows
// the XDG base directories. The console and vx4ctl both ask here.
//
//   settings (vx4pult.ini)      beside the program when that folder is writable,
//                               else $XDG_CONFIG_HOME/vx4pult (default ~/.config/vx4pult)
//   data read (option banks,    the current folder, then beside the program, then
//   report templates)           $XDG_DATA_HOME/vx4pult (default ~/.local/share/vx4pult),
//                               then <program folder>/../share/vx4pult (a relocated
//                               install), then the installed data folder <prefix>/share/vx4pult
//   files written for the user  beside the program when writable, else
//   (Log/, exports, reports)    $XDG_DATA_HOME/vx4pult; folders are created when missing
//
// The folder the package installs the programs into (<prefix>/bin) never counts as
// writable, so that a program started from there by root does not leave files beside the
// installed programs.

#include <string>
#include <vector>

namespace vx4 {

// Folder of the running program, ending in "/" (from /proc/self/exe).
std::string ProgramDir();

// Full path of vx4pult.ini by the rule above (its folder is created when missing).
std::string SettingsFilePath();

// First existing file named relName (a plain name or a relative path such as
// "Matrix/GIGE_шаблон.dotx") in the data folders, in order; relName itself (relative to the
// current folder) when none has it, so that the caller's error names what was looked for.
// A file counts only when it is a regular file owned by this user or root, not writable by
// others, in a folder that others cannot write to (unless it is sticky, as /tmp).
std::string FindDataFile(const std::string& relName);

// The folder for files written for the user, with sub appended ("Log", "Reports", ...),
// ending in "/"; created (with parents) when missing. Empty when it cannot be created.
std::string UserFilesDir(const std::string& sub = {});

// The same rules for a given program folder (the functions above pass ProgramDir()).
// Callers that stand in for the program's folder (tests, a console told where its files
// are) use these.
std::string SettingsFilePathFor(const std::string& programDir);
std::string UserFilesDirFor(const std::string& programDir, const std::string& sub = {});
// The data folders in search order, each ending in "/" (the current folder is "").
std::vector<std::string> DataFolders(const std::string& programDir);
std::string FindDataFileIn(const std::vector<std::string>& folders, const std::string& relName);

// The installed folders (<prefix>/bin/ and <prefix>/share/vx4pult/), ending in "/".
std::string InstalledProgramDir();
std::string InstalledDataDir();

} // namespace vx4
