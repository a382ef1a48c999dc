#include "core/NetworkScanThread.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

NetworkScanThread::NetworkScanThread(FieldbusInterface* fieldbusInterface_, std::mutex* scanLock_)
    : fieldbusInterface(fieldbusInterface_), scanLock(scanLock_)
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    if (fieldbusInterface)
        if (auto protocol = fieldbusInterface->getFieldbusProtocol())
            addresses = protocol->getScanRangeIds();
}

NetworkScanThread::~NetworkScanThread()
{
    commonbase::Dbg dbg(0, __FILE__, "Destructor");
    stop();
    std::lock_guard<std::mutex> control(workerLock);
    // Only reachable on the worker when its last owner let go there; never join oneself.
    if (thread.joinable())
        thread.detach();
    addresses.clear();
}

NetworkScanThread::Module::~Module()
{
    std::shared_ptr<NetworkScanThread> last;
    {
        std::lock_guard<std::mutex> guard(lock);
        last = std::move(worker);
    }
    if (last)
        last->stop();
}

NetworkScanThread::Module& NetworkScanThread::module()
{
    static Module instance;
    return instance;
}

bool NetworkScanThread::isWorkerThread() const
{
    return workerId.load() == std::this_thread::get_id();
}

void NetworkScanThread::start()
{
    commonbase::Dbg dbg(0, __FILE__, "start");
    std::lock_guard<std::mutex> control(workerLock);
    if (started)
        return;
    started = true;
    // Set here, not in the routine, so a stop right after start is never lost.
    stopRequested = 0;
    running = 1;
    try {
        thread = std::thread([this] {
            workerId = std::this_thread::get_id();
            threadRoutine();
        });
    } catch (...) {
        running = 0;
        throw;
    }
    workerId = thread.get_id();
}

void NetworkScanThread::stop()
{
    commonbase::Dbg dbg(0, __FILE__, "stop");
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopRequested = 1;
    }
    wake.notify_all();
    if (isWorkerThread())
        return;
    std::lock_guard<std::mutex> control(workerLock);
    if (thread.joinable())
        thread.join();
}

void NetworkScanThread::threadRoutine()
{
    commonbase::Dbg dbg(0, __FILE__, "threadRoutine");
    {
        // Steady clock: a change of the wall clock neither stretches nor skips the delay.
        std::unique_lock<std::mutex> lock(wakeMutex);
        wake.wait_until(lock, std::chrono::steady_clock::now() + startDelay,
                        [this] { return stopRequested.load() != 0; });
    }
    {
        // Drives found by a scan are not put under node guarding.
        std::lock_guard<std::mutex> lock(*scanLock);
        fieldbusInterface->setNodeGuardEnabled(0);
    }
    for (std::uint32_t address : addresses) {
        if (stopRequested.load() != 0)
            break;
        {
            // No dialog may stop the scan waiting for a user.
            std::lock_guard<std::mutex> lock(*scanLock);
            fieldbusInterface->setForceShowDialog(0);
            if (InterfaceParameterDialog* dialog = fieldbusInterface->getParameterDialog())
                dialog->setDontShowDialog(true);
        }
        const bool found = fieldbusInterface->scanConnect(address);
        commonbase::DbgInfo(1, __FILE__, commonbase::cat("id ", address, found ? " found" : " not found"));
        fieldbusInterface->networkScanStepped(address, found ? 1 : 0);
    }
    stopRequested = 1;
    // Not running before the notice goes out: a host that starts the next scan
    // on it must not be refused. Whoever replaces or stops this worker still joins it.
    running = 0;
    fieldbusInterface->networkScanFinished();
}

} // namespace Kavrel
