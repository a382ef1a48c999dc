#include "core/FieldbusInterface.h"

#include <algorithm>

#include "automation/HostEventLoop.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

std::int32_t FieldbusInterface::startNetworkScan()
{
    commonbase::Dbg dbg(0, __FILE__, "startNetworkScan");
    return errorNoScanWorker;
}

std::int32_t FieldbusInterface::stopNetworkScan()
{
    commonbase::Dbg dbg(0, __FILE__, "stopNetworkScan");
    return errorNoScanWorker;
}

std::int32_t FieldbusInterface::startNetworkScanWithDialog()
{
    commonbase::Dbg dbg(0, __FILE__, "startNetworkScanWithDialog");
    return errorNoProgressDialog;
}

void FieldbusInterface::networkScanStepped(std::uint32_t deviceNumber, std::uint32_t success)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("networkScanStepped(", deviceNumber, ",", success, ")"));
    std::lock_guard<std::mutex> lock(scanLock);
    for (const auto& observer : scanObservers)
        HostEventLoop::instance().post(observer, msgNetworkScanStepped, static_cast<std::int32_t>(deviceNumber),
                                       static_cast<std::int32_t>(success));
}

void FieldbusInterface::networkScanFinished()
{
    commonbase::Dbg dbg(0, __FILE__, "networkScanFinished");
    std::lock_guard<std::mutex> lock(scanLock);
    for (const auto& observer : scanObservers)
        HostEventLoop::instance().post(observer, msgNetworkScanFinished, 0, 0);
}

void FieldbusInterface::addScanObserver(const std::shared_ptr<MessageWindow>& observer)
{
    if (!observer)
        return;
    std::lock_guard<std::mutex> lock(scanLock);
    for (const auto& known : scanObservers)
        if (known.lock() == observer)
            return;
    scanObservers.push_back(observer);
}

void FieldbusInterface::removeScanObserver(const MessageWindow* observer)
{
    std::lock_guard<std::mutex> lock(scanLock);
    scanObservers.erase(std::remove_if(scanObservers.begin(), scanObservers.end(),
                                       [observer](const std::weak_ptr<MessageWindow>& known) {
                                           auto held = known.lock();
                                           return !held || held.get() == observer;
                                       }),
                        scanObservers.end());
}

} // namespace Kavrel
