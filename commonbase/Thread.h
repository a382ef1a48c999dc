#pragma once
#include <mutex>
#include <thread>
#include "commonbase/UserCancelEvent.h"

namespace commonbase {

// Worker base with a start/stop protocol. The running and stop flags are set
// in start(), so a stop right after a start is never lost. Derived classes
// must call join() (or stopAndJoin()) in their destructor: the routine runs
// their code, and a joinable std::thread is never destroyed.
class Thread : public UserCancelEventDispatcher {
public:
    Thread();
    ~Thread() override;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool start();
    virtual void stop();
    bool isRunning();
    bool isStopRequested();
    // Waits for the routine to end (no effect from the worker thread itself).
    void join();
    void stopAndJoin() { stop(); join(); }

protected:
    virtual void threadRoutine() = 0;

private:
    void entry();
    bool stopRequested = false;
    bool running = false;
    std::thread thread;
    std::recursive_mutex stateLock;
};

} // namespace commonbase
