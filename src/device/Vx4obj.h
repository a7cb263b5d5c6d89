#pragma once
// CVX4Obj: the console's model of the one VX-4 it talks to.
//
// A worker thread runs once per cycle: while the connection's link is open it notices a
// changed configuration (by its summary), reads the configuration when asked to or when
// it changed, keeps the local gateway socket running and polls the calculated values that
// windows marked; while the link is closed or lost it clears the configuration and stops
// the gateway, and a read asked for on a lost link connects it again first. Windows call the operations below from their own thread; every read operation
// hands out a copy taken under dataLock.
//
// Locks: dataLock protects the device information, clock, configuration and flags;
// linkLock is held around every exchange the object makes (and the gateway's relays), so
// that sequences of exchanges never interleave. dataLock is held only for a copy or an
// update, never across an exchange, so no getter ever waits for the line: where both are
// needed, linkLock is taken first and dataLock for a moment inside it; nothing takes
// linkLock while holding dataLock.
//
// Texts handed out (item names, system names and notes, item texts) are UTF-8; the
// device's CP1251 is converted here.

#include "common/GiGeArray.h"
#include "device/ConfigStore.h"
#include "device/Vx4Items.h"
#include "link/Pipetools.h"
#include "link/Vx4Records.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx4 {

class connection;

// Device information handed to the windows: the configuration summary, the five archive
// descriptors (0 hourly, 1 daily, 2 monthly, 3 yearly, 4 events) and the identification.
struct SVX4_Info : SConfigInfo {
    std::array<SArchiveInfo, SArchiveInfo::Count> db{};
    SDevIdent ident{};
    bool operator==(const SVX4_Info&) const = default;
};

// One system of a configuration copy: its texts and the items that belong to it, in the
// order the device delivered them.
struct SSystemSnapshot {
    std::string name;
    std::string note;
    std::vector<SNodeInfo> consts;
    std::vector<SNodeInfo> calcs;
};

// A copy of the whole configuration, taken at once under dataLock, for building a tree.
struct SConfigSnapshot {
    SVX4_Info info;
    std::vector<SSystemSnapshot> systems;  // index 0 is system 1
    std::vector<SNodeInfo> deviceConsts;   // constants of the device as a whole
    std::vector<SNodeInfo> events;
    std::vector<std::uint32_t> transducers;
};

// What the worker tells its listener: a configuration read or a poll pass has ended.
struct SWorkerReport {
    enum Kind { ConfigRead, PollPass } kind = ConfigRead;
    int result = 0;             // 0, or the failing exchange's (or reconnect's) code
    std::size_t valuesRead = 0; // PollPass: marked values read in the pass
};

class CVX4Obj {
public:
    // Pauses and waits of the object, in milliseconds. The defaults are the product's;
    // tests shorten them.
    struct Timing {
        std::uint32_t cycleMs = 1000;          // worker cycle
        std::uint32_t stabilityPauseMs = 3000; // between the two summaries of a stability round
        std::uint32_t writeWaitMs = 5000;      // longest wait for the summary after a write
        std::uint32_t gatewayWaitMs = 100;     // longest time the idle gateway takes to notice a stop
        std::uint32_t stabilityRounds = 10;    // rounds of the stability wait before reading anyway
        // The local gateway after each configuration read. A short-lived front (the
        // command-line tool) runs without it, so it never takes the socket name of a console
        // serving the same device.
        bool runGateway = true;
    };

    // Called on the worker thread with no lock of the object held, at the end of every
    // configuration read (also one that failed or could not start because the link could not
    // be made again; before IsConfigReady turns true for it) and of every poll pass. It may
    // call the getters and SetItemPolled: the worker changes nothing while it runs.
    using WorkerListener = std::function<void(const SWorkerReport&)>;

    // Progress of DownloadFile: fraction 0..1 of the file transferred so far.
    using DownloadProgress = std::function<void(float fraction)>;

    // Starts the worker at once; it idles while the link is closed. The device number is
    // taken from the connection.
    explicit CVX4Obj(connection& conn);
    CVX4Obj(connection& conn, const Timing& timing);
    // Ends the worker after its exchange in progress (the worker stops the gateway), then
    // clears the configuration. No window may call into the object any more.
    ~CVX4Obj();
    CVX4Obj(const CVX4Obj&) = delete;
    CVX4Obj& operator=(const CVX4Obj&) = delete;

    // ---- read operations (copies under dataLock) ----
    SVX4_Info GetDeviceInfo();
    std::uint32_t GetConfigChecksum();
    DeviceClock GetDeviceClock();
    // False from RequestReread (or a poll answered with 253) until a read that answers the
    // last such request has ended (one already running answers it, see rereadsRequested_).
    bool IsConfigReady();
    // Progress of a configuration read in per cent (0..100) and what the worker is doing
    // ("Чтение конфигурации" while reading items, else empty); either may be null.
    void GetProgress(float* progress, std::string* text);
    // The item with this id; kind 0, id 0, empty name and zero data when there is none.
    SNodeInfo GetNodeInfo(std::uint16_t id);
    // Recorded transducer addresses in slot order.
    std::vector<std::uint32_t> GetTransducers();
    // The whole configuration at once.
    SConfigSnapshot GetConfigSnapshot();
    // The device address put into every frame.
    std::uint32_t DeviceNumber() const { return deviceNo_.load(); }

    // ---- control ----
    // Asks for a configuration read in the worker's next cycle and enables polling.
    void RequestReread();
    // The worker's listener; an empty one removes it, after a call in progress has returned.
    void SetWorkerListener(WorkerListener listener);
    // Enables or disables polling from the next cycle; returns the previous setting.
    bool EnablePolling(bool on);

    // ---- device operations (hold linkLock for their whole duration) ----
    // Identifies whichever device answers the any-device address; on success its serial
    // becomes the device number here and in the connection. All zero when none answered;
    // result (when given) receives the identify's result code. A cancel flag is looked at
    // between the identify's tries; once it is set the search ends with OPERATION_CANCELLED
    // and changes nothing, even when a device answered meanwhile.
    SDevIdent FindDevice(int* result = nullptr, const std::atomic<bool>* cancel = nullptr);
    // Appends the bytes of the device file to out (opened for binary writing by the
    // caller, who deletes it on a non-zero result); progress after each block. The link
    // lock is held for the whole transfer, the progress call included: the callback only
    // stores the number (an atomic a window's timer reads) and takes no lock. A cancel flag
    // that becomes true stops the transfer within a second with OPERATION_CANCELLED, also
    // in the middle of an exchange or of the repeats of a block. Local failures as ReadFile
    // gives them (LOCAL_WRITE_FAILED, LOCAL_NO_SPACE with the device's size in *announced).
    int DownloadFile(std::FILE* out, const std::string& deviceFileName,
                     const DownloadProgress& progress = {}, const std::atomic<bool>* cancel = nullptr,
                     std::uint32_t* announced = nullptr);
    // Reads the graduation pairs of the transducer with this address into table. 0 or
    // the failing exchange's code; a too short answer is 1017. A failure of the first
    // exchange leaves the table as it was; a later failure keeps the pairs read so far.
    int ReadGraduation(std::uint32_t address, CGiGeArray& table);

    // ---- items (the windows' value display and editing) ----
    // Marks a calculated value for polling (or not).
    void SetItemPolled(std::uint16_t id, bool on);
    // Value of the item; {0, 0} when none.
    SNodeValue GetItemValue(std::uint16_t id);
    // Whether a calculated value's status word changed at its last poll; false otherwise.
    bool ItemStatusChanged(std::uint16_t id);
    // Names of the events active in a calculated value's status word, joined with ", ".
    std::string GetActiveEventNames(std::uint16_t id);
    // The device's text of the item's value; "элемент не найден" after three failures.
    std::string ReadItemText(std::uint16_t id);
    // Sends the text as the constant's new value; on success waits (up to writeWaitMs) for
    // the device's summary to change, takes over the new summary and the stored value.
    // 0, the failing exchange's code, or -1 when id is not a constant (the text was sent).
    int WriteConstant(std::uint16_t id, const std::string& text);

    // ---- configuration helpers ----
    // The name held in an item record (raw device bytes; see CConfigStore::ItemName).
    static std::string ItemName(std::uint8_t type, const std::uint8_t* record, std::size_t length);
    // Names of the events active in the item's status word. Caller holds dataLock.
    std::string EventNamesFor(const CNode* item);

    // Path of the gateway socket while the gateway runs, else empty.
    std::string GatewayPath();

    // Worker cycles ended so far and the longest one in milliseconds (soak runs and
    // diagnostics read them).
    std::uint64_t CyclesDone() const { return cyclesDone_.load(); }
    std::uint32_t LongestCycleMs() const { return longestCycleMs_.load(); }

private:
    // worker (Vx4objWorker.cpp)
    void WorkerLoop();
    void ClearStore();
    // A link lost while a configuration read is asked for connects again; when that
    // fails the read ends with nothing read.
    void ReconnectIfAsked();
    void StartGateway();
    void StopGateway();
    // Sleeps up to ms, woken early by a stop request; false when a stop was requested.
    bool PauseFor(std::uint32_t ms);
    // 0 when nothing is loaded or the summary is unchanged, -1 when it changed, else the
    // failing exchange's code.
    int ConfigUnchanged();
    std::size_t RelayRequest(const std::uint8_t* request, std::size_t n, std::uint8_t* reply,
                             std::size_t capacity);

    // configuration reading (Vx4objRead.cpp)
    int ReadHead();
    int ReadConfigBlocks();
    int ReadConfigItems();
    void AddItem(std::uint8_t type, const std::uint8_t* record, std::uint16_t number);
    void SetItemProgress(std::uint32_t number);
    // Takes a summary into info, its texts converted to UTF-8. Caller holds dataLock.
    void TakeSummary(const SConfigInfo& summary);

    // polling (Vx4objPoll.cpp)
    // Polls the clock and the marked values; reports the pass to the listener.
    void PollValues();
    // 0 or the failing exchange's code.
    int SendBatch(const std::vector<CCalc*>& batch);
    void Report(const SWorkerReport& report);

    connection& conn_;
    const Timing timing_;

    std::recursive_mutex linkLock_;
    std::recursive_mutex dataLock_;

    // under dataLock_
    SVX4_Info info_;
    DeviceClock clock_;
    CConfigStore store_;
    // Requests for a configuration read (RequestReread, a changed summary, a poll answered
    // with 253) are counted; a read takes up every request made before it began and those
    // made while it ran, except after a change of device number or a link closed under it:
    // then the requests made while it ran start another read.
    std::uint64_t rereadsRequested_ = 0;
    std::uint64_t rereadsTakenUp_ = 0;
    bool pollingEnabled_ = true;
    float progress_ = 0.0f;
    std::string statusText_;

    std::atomic<std::uint32_t> deviceNo_{0};
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::uint64_t> cyclesDone_{0};
    std::atomic<std::uint32_t> longestCycleMs_{0};
    std::mutex wakeLock_;
    std::condition_variable wake_;

    std::mutex listenerLock_; // held while the listener runs
    WorkerListener listener_;

    CPipeServer gateway_; // started and stopped by the worker only
    std::thread workerThread_;
};

} // namespace vx4
