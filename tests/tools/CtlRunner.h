#pragma once
// Runs the built vx4ctl (and vx4sim) as child processes and captures what they print,
// plus a simulated device served over loopback TCP for them to talk to.

#include "Simulator.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ctltest {

struct RunResult {
    int status = -1; // exit status; -1 when the program did not exit normally
    std::string out; // standard output
    std::string err; // standard error
};

std::string CtlPath();
std::string SimPath();

// Runs program with args in cwd (empty: the current directory); standard input is
// /dev/null. With stderrTty the program's standard error is a pseudo-terminal.
// env: "NAME=value" entries put in front of the inherited environment.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = {},
                     bool stderrTty = false, const std::vector<std::string>& env = {});
RunResult RunCtl(const std::vector<std::string>& args, const std::string& cwd = {});
// Several vx4ctl runs at the same time (each usually against its own simulator).
std::vector<RunResult> RunCtlAll(const std::vector<std::vector<std::string>>& argLists);

// Starts args[0] with the rest of args and returns its pid (-1 on failure); its standard
// output goes into a pipe whose read end is *out, its standard error to /dev/null when
// quietErr (else it is inherited). The caller waits for the process and closes *out.
int SpawnPiped(std::vector<std::string> args, int* out, bool quietErr = false);

// Output lines without their line ends.
std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> Split(const std::string& line, char sep = '\t');
nlohmann::json ParseJson(const std::string& text);

// A directory of its own under the temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The names in a directory, sorted.
std::vector<std::string> DirEntries(const std::string& dir);

// The demo device on a free loopback port.
class SimDevice {
public:
    SimDevice();
    vx4sim::Simulator sim;
    std::string PortText() const; // "127.0.0.1:PORT"
    // --port and --dev for this device, then args.
    std::vector<std::string> Args(std::vector<std::string> args) const;
};

// A loopback port on which nothing listens.
std::uint16_t ClosedPort();

} // namespace ctltest
