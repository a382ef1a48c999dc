#include "core/NodeGuardThread.h"

#include <vector>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "core/FieldbusDevice.h"
#include "core/FieldbusInterface.h"

namespace Kavrel {

NodeGuardThread::NodeGuardThread(FieldbusInterface* fieldbusInterface_, std::recursive_mutex* nodeGuardLock_)
    : fieldbusInterface(fieldbusInterface_), nodeGuardLock(nodeGuardLock_)
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

NodeGuardThread::~NodeGuardThread()
{
    commonbase::Dbg dbg(0, __FILE__, "Destructor");
    stop();
    // A worker that asked itself to stop is still joinable here.
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
    else if (thread.joinable())
        thread.detach();
}

bool NodeGuardThread::isWorkerThread() const
{
    return workerId.load() == std::this_thread::get_id();
}

void NodeGuardThread::start()
{
    commonbase::Dbg dbg(0, __FILE__, "start");
    if (isWorkerThread())
        return;
    // Start and stop each run whole under the control lock, so a stop can never
    // join a worker that a concurrent start has just made.
    std::lock_guard<std::mutex> control(controlMutex);
    if (running.load() != 0 && stopRequested.load() == 0)
        return;
    if (thread.joinable())
        thread.join();
    // Set here, not in the routine, so a stop right after start is never lost.
    {
        std::lock_guard<std::mutex> wakeLock(wakeMutex);
        stopRequested = 0;
    }
    running = 1;
    try {
        thread = std::thread([this] {
            // Known before the first read: a timeout on that read must already see its own thread.
            workerId = std::this_thread::get_id();
            threadRoutine();
        });
    } catch (...) {
        running = 0;
        throw;
    }
    workerId = thread.get_id();
}

void NodeGuardThread::stop()
{
    commonbase::Dbg dbg(0, __FILE__, "stop");
    if (isWorkerThread()) {
        // Never join oneself: only ask; the routine ends at its next check.
        std::lock_guard<std::mutex> wakeLock(wakeMutex);
        stopRequested = 1;
        return;
    }
    std::lock_guard<std::mutex> control(controlMutex);
    {
        std::lock_guard<std::mutex> wakeLock(wakeMutex);
        stopRequested = 1;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
    workerId = std::thread::id();
}

bool NodeGuardThread::anyDownloading() const
{
    for (FieldbusDevice* device : fieldbusInterface->getFieldbusDevices())
        if (device->isFlashDownloading())
            return true;
    return false;
}

void NodeGuardThread::threadRoutine()
{
    commonbase::Dbg dbg(0, __FILE__, "threadRoutine");
    while (stopRequested.load() == 0) {
        const auto now = FieldbusDevice::Clock::now();
        {
            std::lock_guard<std::recursive_mutex> lock(*nodeGuardLock);
            std::vector<FieldbusDevice*> list = fieldbusInterface->getNodeGuardList();
            for (std::size_t i = 0; i < list.size() && stopRequested.load() == 0;) {
                FieldbusDevice* device = list[i];
                if (anyDownloading())
                    break; // a loader must not get foreign reads, nor may drives time out at its rate
                if (device->getNodeGuardNextTelegram() <= now) {
                    std::uint32_t value = 0;
                    if (device->getParameter(2, 1, 1, value) != 1) {
                        fieldbusInterface->nodeGuardTimeout(device);
                        list = fieldbusInterface->getNodeGuardList();
                        i = 0;
                        continue;
                    }
                }
                ++i;
            }
        }
        std::unique_lock<std::mutex> wakeLock(wakeMutex);
        wake.wait_until(wakeLock, now + wakeInterval, [this] { return stopRequested.load() != 0; });
    }
    running = 0;
}

} // namespace Kavrel
