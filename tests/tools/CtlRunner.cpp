#include "CtlRunner.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

extern char** environ;

namespace ctltest {

std::string CtlPath() { return std::string(VX4_BINARY_DIR) + "/tools/vx4ctl"; }
std::string SimPath() { return std::string(VX4_BINARY_DIR) + "/sim/vx4sim"; }

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                     bool stderrTty, const std::vector<std::string>& env)
{
    TempDir capture;
    const std::string outPath = capture.File("out"), errPath = capture.File("err");
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = env;
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);

    int master = -1, slave = -1;
    if (stderrTty && ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return {};
    if (stderrTty) {
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    }

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (stderrTty) {
        posix_spawn_file_actions_adddup2(&fa, slave, 2);
        posix_spawn_file_actions_addclose(&fa, master);
        posix_spawn_file_actions_addclose(&fa, slave);
    } else {
        posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);

    RunResult result;
    std::thread ttyReader;
    if (stderrTty) {
        ::close(slave);
        // Drain the terminal while the program runs so that it never blocks on it.
        ttyReader = std::thread([master, &result] {
            char buf[4096];
            for (;;) {
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n <= 0)
                    break;
                result.err.append(buf, std::size_t(n));
            }
        });
    }
    if (rc == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (stderrTty) {
        ttyReader.join(); // the read ends with EIO once the program's side is closed
        ::close(master);
    } else {
        result.err = ReadFile(errPath);
    }
    result.out = ReadFile(outPath);
    return result;
}

RunResult RunCtl(const std::vector<std::string>& args, const std::string& cwd) { return RunProgram(CtlPath(), args, cwd); }

std::vector<RunResult> RunCtlAll(const std::vector<std::vector<std::string>>& argLists)
{
    std::vector<std::future<RunResult>> running;
    for (const auto& args : argLists)
        running.push_back(std::async(std::launch::async, [args] { return RunCtl(args); }));
    std::vector<RunResult> results;
    for (auto& r : running)
        results.push_back(r.get());
    return results;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Split(const std::string& line, char sep)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : line) {
        if (c == sep) {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

nlohmann::json ParseJson(const std::string& text)
{
    try {
        return nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not JSON: " << e.what() << "\n" << text;
        return {};
    }
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vx4ctl_test_XXXXXX").string();
    if (::mkdtemp(pattern.data()))
        path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

std::vector<std::string> DirEntries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

SimDevice::SimDevice()
{
    std::string err;
    if (!sim.StartTcp("127.0.0.1", 0, &err))
        ADD_FAILURE() << "simulator: " << err;
}

std::string SimDevice::PortText() const { return "127.0.0.1:" + std::to_string(sim.Port()); }

std::vector<std::string> SimDevice::Args(std::vector<std::string> args) const
{
    std::vector<std::string> all{"--port", PortText(), "--dev", std::to_string(sim.Serial())};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

int SpawnPiped(std::vector<std::string> args, int* out, bool quietErr)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    if (quietErr)
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return -1;
    }
    *out = fds[0];
    return pid;
}

std::uint16_t ClosedPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

} // namespace ctltest
