#pragma once
// Test helpers for writes that fail: a child process whose files may not grow past a limit,
// and whole-file reads to compare what was left.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace vx4test {

inline std::string ReadWhole(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs body in a child process whose files may not grow past fileLimit bytes (0: no
// limit; SIGXFSZ ignored, so the write fails with EFBIG), as user uid when it is not 0.
// True when body returned true.
inline bool InLimitedChild(const std::function<bool()>& body, rlim_t fileLimit, uid_t uid = 0)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{fileLimit, fileLimit};
        if (fileLimit != 0 && ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(3);
        if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0))
            ::_exit(4);
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace vx4test
