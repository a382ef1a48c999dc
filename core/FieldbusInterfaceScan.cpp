#include "core/FieldbusInterface.h"

#include <algorithm>
#include <stdexcept>

#include "commonbase/HostEventLoop.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusDevice.h"
#include "core/NetworkScanThread.h"
#include "core/NodeGuardThread.h"

namespace Kavrel {

using commonbase::cat;

std::int32_t FieldbusInterface::startNetworkScan()
{
    commonbase::Dbg dbg(0, __FILE__, "startNetworkScan");
    auto& module = NetworkScanThread::module();
    std::shared_ptr<NetworkScanThread> previous;
    std::int32_t result = statusOk;
    {
        std::lock_guard<std::mutex> slot(module.lock);
        if (module.worker && module.worker->isRunning())
            return errorScanRunning;
        previous = std::move(module.worker);
        try {
            if (!protocol)
                throw std::runtime_error("no protocol to take the scan range from");
            auto fresh = std::make_shared<NetworkScanThread>(this, &scanLock);
            // Observer before start, so no notice of this scan is missed; added once however many scans run.
            addScanObserver(getMessageWindow().lock());
            // Started under the slot lock: nobody may take a made but not yet running worker for a finished one.
            fresh->start();
            module.worker = std::move(fresh);
        } catch (const std::exception& e) {
            commonbase::DbgInfo(3, __FILE__, cat("no scan worker: ", e.what()));
            result = errorNoScanWorker;
        }
    }
    // The finished worker is joined and destroyed outside the slot lock.
    if (previous)
        previous->stop();
    return result;
}

std::int32_t FieldbusInterface::stopNetworkScan()
{
    commonbase::Dbg dbg(0, __FILE__, "stopNetworkScan");
    std::shared_ptr<NetworkScanThread> worker;
    {
        auto& module = NetworkScanThread::module();
        std::lock_guard<std::mutex> slot(module.lock);
        worker = module.worker;
    }
    if (!worker)
        return errorNoScanWorker;
    worker->stop();
    return statusOk;
}

std::int32_t FieldbusInterface::startNetworkScanWithDialog()
{
    commonbase::Dbg dbg(0, __FILE__, "startNetworkScanWithDialog");
    try {
        if (const auto& make = InterfaceDialogMakers::installed().scanProgress)
            scanProgressDialog = make(this);
        if (!scanProgressDialog)
            return errorNoProgressDialog;
    } catch (const std::exception& e) {
        commonbase::DbgInfo(3, __FILE__, cat("no scan progress dialog: ", e.what()));
        return errorNoProgressDialog;
    }
    // The dialog starts the scan when it shows and lives on its notices while modal.
    const std::int32_t shown = scanProgressDialog->displayDialog(5);
    std::int32_t result = statusOk;
    if (shown == dialogResultCancel) {
        stopNetworkScan();
        result = errorDialogCancelled;
    }
    scanProgressDialog.reset();
    return result;
}

void FieldbusInterface::stopWorkers()
{
    if (nodeGuardThread)
        nodeGuardThread->stop();
    auto& module = NetworkScanThread::module();
    std::shared_ptr<NetworkScanThread> worker;
    {
        std::lock_guard<std::mutex> slot(module.lock);
        worker = module.worker;
    }
    if (!worker)
        return;
    // Any interface that goes stops the process's scan, whichever interface it scans.
    worker->stop();
    if (worker->getFieldbusInterface() != this || worker->isWorkerThread())
        return;
    // A finished worker of this interface must not outlive it with a pointer to it.
    std::lock_guard<std::mutex> slot(module.lock);
    if (module.worker == worker)
        module.worker.reset();
}

void FieldbusInterface::setScanConnector(ScanConnector connector)
{
    commonbase::DbgInfo(0, __FILE__, connector ? "setScanConnector" : "setScanConnector(none)");
    std::lock_guard<std::mutex> lock(scanConnectorLock);
    scanConnector = std::move(connector);
}

bool FieldbusInterface::scanConnect(std::uint32_t uniqueId)
{
    commonbase::Dbg dbg(0, __FILE__, cat("scanConnect('", uniqueId, "')"));
    std::lock_guard<std::mutex> lock(scanConnectorLock);
    if (scanConnector)
        return scanConnector(uniqueId);
    std::unique_ptr<FieldbusDevice> device;
    const std::int32_t result = connectDevice(uniqueId, device);
    if (result != statusOk || !device) {
        commonbase::DbgInfo(1, __FILE__, cat("id ", uniqueId, ": 0x", commonbase::toHex(static_cast<std::uint32_t>(result), 8)));
        return false;
    }
    scanDevices.push_back(std::move(device));
    return true;
}

void FieldbusInterface::networkScanStepped(std::uint32_t deviceNumber, std::uint32_t success)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("networkScanStepped(", deviceNumber, ",", success, ")"));
    std::lock_guard<std::mutex> lock(scanLock);
    for (const auto& observer : scanObservers)
        commonbase::HostEventLoop::instance().post(observer, msgNetworkScanStepped, static_cast<std::int32_t>(deviceNumber),
                                       static_cast<std::int32_t>(success));
}

void FieldbusInterface::networkScanFinished()
{
    commonbase::Dbg dbg(0, __FILE__, "networkScanFinished");
    std::lock_guard<std::mutex> lock(scanLock);
    for (const auto& observer : scanObservers)
        commonbase::HostEventLoop::instance().post(observer, msgNetworkScanFinished, 0, 0);
}

void FieldbusInterface::addScanObserver(const std::shared_ptr<commonbase::MessageWindow>& observer)
{
    if (!observer)
        return;
    std::lock_guard<std::mutex> lock(scanLock);
    for (const auto& known : scanObservers)
        if (known.lock() == observer)
            return;
    scanObservers.push_back(observer);
}

void FieldbusInterface::removeScanObserver(const commonbase::MessageWindow* observer)
{
    std::lock_guard<std::mutex> lock(scanLock);
    scanObservers.erase(std::remove_if(scanObservers.begin(), scanObservers.end(),
                                       [observer](const std::weak_ptr<commonbase::MessageWindow>& known) {
                                           auto held = known.lock();
                                           return !held || held.get() == observer;
                                       }),
                        scanObservers.end());
}

} // namespace Kavrel
