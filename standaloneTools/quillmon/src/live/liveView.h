// --live: the run's readers and writers on a full-screen terminal view
// (ncurses), redrawn every report period from the model's snapshots, the
// same the report reads. Keys: q ends the run as SIGINT does, s changes the
// sort, j/k or the arrows scroll. Log lines are held while it is up (see
// heldLog.h). When it ends, the terminal is restored, the last screen is
// printed as text (from the snapshots the verdict was judged on), then the
// held lines. Any other signal that ends the process (a crash, SIGQUIT,
// SIGUSR1, ...) restores the terminal and prints the held lines before it
// does.
//
// ncurses, not FTXUI or a hand-written renderer: Debian 12 has it (FTXUI is
// not packaged), it knows every terminal through terminfo, and it handles
// resizes, keys and colours (off under NO_COLOR) itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "heldLog.h"
#include "liveFrame.h"
#include "liveLayout.h"
#include "model/monitorRun.h"

namespace quillLive {

// Whether --live can run here: standard output is a terminal.
bool OutputIsTerminal();

class LiveView
{
public:
    // `run` outlives this.
    LiveView(const quillModel::MonitorRun& run, uint32_t domainId, double periodSec);
    // Without Finish (an error ended the run): the terminal restored and
    // the held lines printed, without a last screen.
    ~LiveView();

    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Takes the terminal and starts the view's thread; std::runtime_error
    // when the terminal cannot be driven (an unknown TERM).
    void Start();
    // Once the model concluded: the view ends, and the last screen and the
    // held log lines are printed. The last screen's rates and latencies are
    // `period`'s when given (the report's final records'), else those since
    // the previous screen.
    void Finish(const quillModel::Period* period = nullptr);

private:
    void Loop();
    void Refresh(double seconds);
    void Paint();
    // What every screen is laid out with: the terminal's width, the sort.
    LayoutRequest Request() const;
    // Handles a key; false when there was none.
    bool HandleKey();
    void End();

    const quillModel::MonitorRun& run_;
    const uint32_t domainId_;
    const std::chrono::duration<double> period_;
    std::chrono::steady_clock::time_point started_;
    std::unique_ptr<HeldLog> held_;
    struct Terminal;
    std::unique_ptr<Terminal> terminal_;
    bool keys_ = false; // standard input is a terminal to read keys from
    bool utf8_ = false;
    bool colour_ = false;

    // The view's thread only, once started.
    LiveHistory history_;
    LiveFrame frame_;
    SortOrder sort_ = SortOrder::Name;
    size_t scroll_ = 0;
    size_t lastColumns_ = 80;

    std::thread thread_;
    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stop_ = false;
};

} // namespace quillLive
