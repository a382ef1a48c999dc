#include "commonbase/Thread.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"

namespace commonbase {

Thread::Thread() { Dbg dbg(0, __FILE__, "Constructor"); }

Thread::~Thread()
{
    Dbg dbg(0, __FILE__, "Destructor");
    join();
}

bool Thread::start()
{
    Dbg dbg(0, __FILE__, "start");
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    if (thread.joinable() && isRunning())
        return false;
    if (thread.joinable())
        thread.join(); // the previous routine has ended
    // Set here, not on the new thread, so that a stop right after start is never lost.
    stopRequested = false;
    running = true;
    try {
        thread = std::thread([this] { entry(); });
    } catch (const std::exception& e) {
        running = false;
        DbgInfo(3, __FILE__, std::string("start failed: ") + e.what());
        return false;
    }
    return true;
}

void Thread::entry()
{
    threadRoutine();
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    running = false;
}

void Thread::stop()
{
    Dbg dbg(0, __FILE__, "stop");
    fireEvent(UserCancelEvent{});
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    if (running)
        stopRequested = true;
}

bool Thread::isRunning()
{
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    return running;
}

bool Thread::isStopRequested()
{
    std::lock_guard<std::recursive_mutex> lock(stateLock);
    return stopRequested;
}

void Thread::join()
{
    std::thread t;
    {
        std::lock_guard<std::recursive_mutex> lock(stateLock);
        if (!thread.joinable() || thread.get_id() == std::this_thread::get_id())
            return;
        t = std::move(thread);
    }
    t.join();
}

} // namespace commonbase
