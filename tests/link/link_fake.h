#pragma once
// A scripted link for connection tests. The test keeps a shared FakeLinkState while the
// connection owns the link: the state says what the link does (its open result, write
// failures, the answer bytes each request brings) and records every call.

#include "link/Connection.h"
#include "link/Link.h"
#include "link/ResultCodes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vx4::conntest {

// The connection's answer times come from this clock in tests that set it; a read of the
// fake link moves it on by readDelayMs.
inline std::atomic<std::uint32_t> fakeNow{0};
inline std::uint32_t FakeClock() { return fakeNow.load(); }

struct FakeCall {
    char op;              // 'P' purge, 'W' write, 'R' read
    std::uint32_t value;  // purge flags, bytes written or bytes asked for
    std::uint32_t timeout; // read time-out
    std::uint8_t first;   // first byte written (tells requests apart)

    bool operator==(const FakeCall& o) const { return op == o.op && value == o.value; }
};

struct FakeLinkState {
    int openResult = OK;
    int writeResult = OK;
    std::size_t writeShortBy = 0;    // write reports this many bytes fewer than asked
    std::deque<std::vector<std::uint8_t>> answers; // one per write, queued as input
    std::deque<std::uint8_t> input;  // bytes waiting to be read
    std::uint32_t readDelayMs = 0;   // fake time each read takes
    std::uint32_t realReadSleepMs = 0; // real time each read takes
    bool shortReadIsOk = false;      // a read that runs out of input succeeds with fewer bytes
    int creations = 0;
    bool alive = false;
    std::vector<FakeCall> calls;

    std::vector<FakeCall> Calls(char op) const
    {
        std::vector<FakeCall> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [op](const FakeCall& c) { return c.op == op; });
        return out;
    }
};

class FakeLink : public CLink {
public:
    explicit FakeLink(std::shared_ptr<FakeLinkState> s) : s_(std::move(s))
    {
        s_->creations++;
        s_->alive = true;
    }
    ~FakeLink() override { s_->alive = false; }

    int Open(bool reopen) override
    {
        open_ = reopen && s_->openResult == OK;
        return reopen ? s_->openResult : OK;
    }
    int Read(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t timeoutMs) override
    {
        s_->calls.push_back({'R', std::uint32_t(n), timeoutMs, 0});
        if (s_->realReadSleepMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(s_->realReadSleepMs));
        fakeNow += s_->readDelayMs;
        std::size_t k = 0;
        while (k < n && !s_->input.empty()) {
            buf[k++] = s_->input.front();
            s_->input.pop_front();
        }
        *received = k;
        return k < n && !s_->shortReadIsOk ? LINK_TIMEOUT : OK;
    }
    int Write(const std::uint8_t* buf, std::size_t n, std::size_t* sent) override
    {
        s_->calls.push_back({'W', std::uint32_t(n), 0, buf[0]});
        *sent = 0;
        if (s_->writeResult != OK)
            return s_->writeResult;
        *sent = n - std::min(n, s_->writeShortBy);
        if (!s_->answers.empty()) {
            s_->input.insert(s_->input.end(), s_->answers.front().begin(), s_->answers.front().end());
            s_->answers.pop_front();
        }
        return OK;
    }
    bool IsOpen() const override { return open_; }
    bool Purge(std::uint32_t flags) override
    {
        s_->calls.push_back({'P', flags, 0, 0});
        if (flags & PURGE_RXCLEAR)
            s_->input.clear();
        return true;
    }

private:
    std::shared_ptr<FakeLinkState> s_;
    bool open_ = false;
};

inline connection::LinkFactory FakeFactory(std::shared_ptr<FakeLinkState> s)
{
    return [s](const ConnectionSettings&) { return std::unique_ptr<CLink>(new FakeLink(s)); };
}

} // namespace vx4::conntest
