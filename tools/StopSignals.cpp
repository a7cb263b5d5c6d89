#include "StopSignals.h"

namespace vx4ctl {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignal{0};

void OnStopSignal(int signal)
{
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    stopRequested.store(true);
}

} // namespace

StopSignals::StopSignals()
{
    stopRequested.store(false);
    stopSignal.store(0);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
    sigaction(SIGHUP, &action, &oldHup_);
}

StopSignals::~StopSignals()
{
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    sigaction(SIGHUP, &oldHup_, nullptr);
}

const std::atomic<bool>& StopSignals::Flag() const { return stopRequested; }

int StopSignals::ExitCode() const { return 128 + stopSignal.load(); }

} // namespace vx4ctl
