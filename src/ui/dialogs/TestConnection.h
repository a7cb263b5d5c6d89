#pragma once
// TTestConnForm: the link test window. A test thread sends echo requests of the chosen
// size back to back through the main window's connection and counts the outcomes in six
// classes of error; the window shows the counts, each class's share and a status line
// with the ring of the last ten outcomes.
//
// The test thread never touches a widget: after each test it publishes a copy of its
// counters, and the window's own timer shows the latest copy. One thread serves one
// showing; closing the window stops it and waits for it at most 1000 ms (while the window's
// thread keeps its events going). A thread still inside a long echo then ends by itself
// after that echo; it has its own flags, so a later showing cannot revive it.

#include "ui/dialogs/TestConnCounters.h"

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QLabel;
class QPushButton;
class QSlider;
class QTimer;

namespace vx4 {

class connection;

class TTestConnForm : public QDialog {
    Q_OBJECT
public:
    static constexpr int CloseWaitMs = 1000;

    TTestConnForm(QWidget* parent, connection& conn);
    ~TTestConnForm() override;

    // The device number the echo requests go to (the main window's devNo), set before showing.
    void SetDeviceNumber(std::uint32_t devNo) { devNo_ = devNo; }
    // Result of opening the link for this showing: a failure is shown beside the counters,
    // as the reason why every echo fails; 0 hides that line.
    void SetLinkResult(int rc);
    // Pause of the test thread after an echo that failed without waiting on the line (a
    // link that is not open): the thread never spins.
    static constexpr int QuickFailurePauseMs = 100;

    // Handlers.
    void FormShow();
    void FormActivate();
    void FormClose();
    void B_StartClick();
    void B_ExitClick();
    void TrackBar1Change(int position);

    // Waits, without a limit, for a thread let go by a close while inside a long echo: the
    // main window calls it before it destroys the connection.
    void WaitForReleasedThreads();

    // State, for tests and pictures.
    bool Running() const; // the test thread of this showing exists and has not ended
    bool Paused() const;
    TestConnCounters Published() const;
    // Runs one test on the calling thread exactly as the test thread does and publishes it.
    void RunOneTest();
    // Shows the latest published counters (the window's timer does this on its own).
    void RefreshLabels();

    QLabel* StatusLabel() const { return L_Status; }
    QLabel* CountLabel(int cls) const { return L_Err[cls - 1]; }
    QLabel* ShareLabel(int cls) const { return L_ErrAux[cls - 1]; }
    QLabel* BufferLabel() const { return L_BuffSize; }
    QLabel* LinkLabel() const { return L_Link; }
    QPushButton* StartButton() const { return B_Start; }
    QSlider* Slider() const { return TrackBar1; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void done(int r) override;

private:
    // What one showing's test thread shares with the window.
    struct Shared {
        std::atomic<bool> stop{false};
        std::atomic<bool> paused{true};
        std::atomic<bool> ended{false};
        std::atomic<int> size{1015};
        std::atomic<std::uint32_t> generation{0};
        mutable std::mutex lock;
        TestConnCounters published;
        TestConnCounters counters; // the thread's own
    };
    static int OneTest(connection& conn, std::uint32_t devNo, Shared& shared);
    static void ThreadMain(connection& conn, std::uint32_t devNo, std::shared_ptr<Shared> shared);
    void StopThread();

    connection& conn_;
    std::uint32_t devNo_ = 0;
    std::shared_ptr<Shared> shared_;
    std::vector<std::shared_ptr<Shared>> released_; // threads let go by a close
    std::thread thread_;
    bool threadStarted_ = false;
    bool stopping_ = false; // a close is waiting for the thread
    std::uint32_t shownGeneration_ = 0;

    QSlider* TrackBar1 = nullptr;
    QLabel* L_BuffSize = nullptr;
    QLabel* Label[TestConnCounters::Classes] = {};
    QLabel* L_Err[TestConnCounters::Classes] = {};
    QLabel* L_ErrAux[TestConnCounters::Classes] = {};
    QLabel* L_Status = nullptr;
    QLabel* L_Link = nullptr;
    QPushButton* B_Start = nullptr;
    QPushButton* B_Exit = nullptr;
    QPushButton* Button3 = nullptr;
    QTimer* refresh_ = nullptr;
};

} // namespace vx4
