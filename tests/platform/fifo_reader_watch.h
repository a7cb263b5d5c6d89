#pragma once
// Watches a FIFO while the code under test runs: should anything open the FIFO for reading
// (and so wait for a writer), the watch opens its write end, which lets that open return,
// and notes that it had to. A call that must never open the FIFO thus ends either way,
// and Rescued() tells whether it tried.

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx4test {

class FifoReaderWatch {
public:
    explicit FifoReaderWatch(std::string path) : path_(std::move(path))
    {
        made_ = ::mkfifo(path_.c_str(), 0600) == 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                // A non-blocking open for writing succeeds only while a reader has it open
                // or waits in its open.
                const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    rescued_ = true;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~FifoReaderWatch()
    {
        stop_ = true;
        thread_.join();
    }
    bool Made() const { return made_; }
    bool Rescued() const { return rescued_; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    bool made_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> rescued_{false};
    std::thread thread_;
};

} // namespace vx4test
