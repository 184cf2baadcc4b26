// Preloaded (LD_PRELOAD) into lumoQuillmon by the throughput and soak
// runners, never shipped.
//
// The monitor prints its per-reader counts ("#samples", "#lost samples") at
// exit only when the "lumo" logger is at INFO. Running the whole measurement
// at INFO would make every checked sample build and write a log line (the
// ramp's length line, the pattern's verified line), so the figures would be
// those of a debug run. Instead the monitor runs at its normal level (ERROR)
// and this library, on SIGINT/SIGTERM, raises the "lumo" logger to INFO
// before handing the signal to the monitor's own handler: nothing of the
// data path changes while samples are being measured.
//
// It also wakes the monitor's 2-second stop poll (sleep) as soon as the
// signal has been handed on, so that the report follows the signal within
// milliseconds instead of up to 2 s later.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <semaphore.h>
#include <unistd.h>

#include <log4cplus/logger.h>

namespace {

using SignalFunction = sighandler_t (*)(int, sighandler_t);

sem_t gSignalled;
std::atomic<sighandler_t> gToolHandler{nullptr};
std::atomic<int> gSignalNumber{0};
std::once_flag gRelayStarted;
std::mutex gWakeMutex;
std::condition_variable gWake;
bool gStopping = false;

// Signal context: only async-signal-safe work, the rest is done by Relay.
void OnStopSignal(int signalNumber)
{
    gSignalNumber.store(signalNumber);
    sem_post(&gSignalled);
}

void Relay()
{
    while (sem_wait(&gSignalled) != 0) {
    }
    log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("lumo")).setLogLevel(log4cplus::INFO_LOG_LEVEL);
    const sighandler_t handler = gToolHandler.load();
    if (handler != nullptr && handler != SIG_DFL && handler != SIG_IGN) {
        handler(gSignalNumber.load());
    }
    {
        std::lock_guard lock(gWakeMutex);
        gStopping = true;
    }
    gWake.notify_all();
}

} // namespace

extern "C" sighandler_t signal(int signalNumber, sighandler_t handler)
{
    static const auto real = reinterpret_cast<SignalFunction>(dlsym(RTLD_NEXT, "signal"));
    if (signalNumber != SIGINT && signalNumber != SIGTERM) {
        return real(signalNumber, handler);
    }
    std::call_once(gRelayStarted, [] {
        sem_init(&gSignalled, 0, 0);
        std::thread(Relay).detach();
    });
    const sighandler_t previous = gToolHandler.exchange(handler);
    real(signalNumber, OnStopSignal);
    return previous != nullptr ? previous : SIG_DFL;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
    std::unique_lock lock(gWakeMutex);
    gWake.wait_for(lock, std::chrono::seconds(seconds), [] { return gStopping; });
    return 0;
}
