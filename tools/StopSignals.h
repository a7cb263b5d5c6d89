#pragma once
// StopSignals: while one exists, SIGINT, SIGTERM and SIGHUP do not end vx4ctl at once. The
// handler only notes the signal; the command sees Requested() (or passes Flag() as its
// Cancel), ends its work the normal way, removing what it had not finished, and returns
// ExitCode(). The handlers in place before are restored at destruction.

#include <atomic>
#include <csignal>

namespace vx4ctl {

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool Requested() const { return Flag().load(); }
    // True from the first of the signals on.
    const std::atomic<bool>& Flag() const;
    // 128 and the signal's number, as a shell reports a program the signal ended.
    int ExitCode() const;

private:
    struct sigaction oldInt_ {}, oldTerm_ {}, oldHup_ {};
};

} // namespace vx4ctl
