#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void requestStop(int) { acknowledge_stop(); }

}  // namespace

// The signals are blocked on every thread but a watcher's, which takes them.
struct StopSignals::Handling {
    sigset_t signals;
    sigset_t previousMask;
    struct sigaction previous[std::size(kSignals)];
    std::mutex mutex;
    std::condition_variable wake;
    bool finished = false;
    std::thread watcher;
};

StopSignals::StopSignals() : mHandling(std::make_unique<Handling>())
{
    clear_stop();
    Handling &h = *mHandling;
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigemptyset(&h.signals);
    for (size_t i = 0; i < std::size(kSignals); i++) {
        // One ignored by whoever started us stays so: nohup, or Ctrl-C
        // meant for the terminal's foreground job and not this one.
        sigaction(kSignals[i], nullptr, &h.previous[i]);
        if (h.previous[i].sa_handler == SIG_IGN)
            continue;
        sigaddset(&h.signals, kSignals[i]);
        sigaction(kSignals[i], &action, nullptr);
    }
    pthread_sigmask(SIG_BLOCK, &h.signals, &h.previousMask);
    h.watcher = std::thread([&h] {
        pthread_sigmask(SIG_UNBLOCK, &h.signals, nullptr);
        std::unique_lock<std::mutex> lock(h.mutex);
        h.wake.wait(lock, [&h] { return h.finished; });
    });
}

StopSignals::~StopSignals()
{
    Handling &h = *mHandling;
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        h.finished = true;
    }
    h.wake.notify_one();
    h.watcher.join();
    pthread_sigmask(SIG_SETMASK, &h.previousMask, nullptr);  // a held signal lands here
    for (size_t i = 0; i < std::size(kSignals); i++)
        sigaction(kSignals[i], &h.previous[i], nullptr);
}
