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

#include <cstddef>
#include <string>
#include <vector>

namespace vx4 {

// Folder of the running program, ending in "/" (from /proc/self/exe).
std::string ProgramDir();

// Full path of vx4pult.ini by the rule above (its folder is created when missing); empty
// when it would be under a home folder that neither $HOME nor the user database names.
std::string SettingsFilePath();

// First existing file named relName (a plain name or a relative path such as
// "Matrix/GIGE_шаблон.dotx") in the data folders, in order; relName itself (relative to the
// current folder) when none has it, so that the caller's error names what was looked for.
// A file counts only when it passes the data file checks of platform/PathWalk.h (every
// folder on the way and the file itself this user's or root's, no one else able to change
// them, no other user's link on the way); one that does not is passed over.
// The path is for messages and tests: a reader opens the file once with OpenDataFileIn or
// ReadDataFileIn below, never by this path again.
std::string FindDataFile(const std::string& relName);

// The folder for files written for the user, with sub appended ("Log", "Reports", ...),
// ending in "/"; created (with parents) when missing. Empty when it cannot be created, or
// when there is no home folder ($HOME unset and no user database entry) to keep it in.
std::string UserFilesDir(const std::string& sub = {});

// The same rules for a given program folder (the functions above pass ProgramDir()).
// Callers that stand in for the program's folder (tests, a console told where its files
// are) use these.
std::string SettingsFilePathFor(const std::string& programDir);
std::string UserFilesDirFor(const std::string& programDir, const std::string& sub = {});
// The data folders in search order, each ending in "/" (the current folder is "").
std::vector<std::string> DataFolders(const std::string& programDir);
std::string FindDataFileIn(const std::vector<std::string>& folders, const std::string& relName);
// The first data file named relName that passes the checks, opened once: its descriptor,
// with *path where it was found; -1 when none does, with *path and *why telling about the
// first folder that has such a name (or relName and "No such file or directory").
// With folder given, *folder receives the descriptor of the folder it was opened in.
int OpenDataFileIn(const std::vector<std::string>& folders, const std::string& relName, std::string* path,
                   std::string* why, int* folder = nullptr);
// Its whole content, refused when larger than limit bytes.
bool ReadDataFileIn(const std::vector<std::string>& folders, const std::string& relName, std::size_t limit,
                    std::string* bytes, std::string* path, std::string* why);

// The installed folders (<prefix>/bin/ and <prefix>/share/vx4pult/), ending in "/".
std::string InstalledProgramDir();
std::string InstalledDataDir();

} // namespace vx4
