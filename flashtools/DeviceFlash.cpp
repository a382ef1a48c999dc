#include "flashtools/DeviceFlash.h"

#include "commonbase/Dbg.h"
#include "core/FieldbusDevice.h"
#include "flashtools/FlashException.h"
#include "flashtools/FlashProcess.h"
#include "flashtools/FlashProtocol.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

namespace {

// Devices make their download through this maker, installed as the library loads.
const bool makerInstalled = [] {
    DeviceDownload::maker() = [](FieldbusDevice& device) { return std::make_unique<DeviceFlash>(device); };
    return true;
}();

} // namespace

DeviceFlash::DeviceFlash(FieldbusDevice& device_) : device(device_) {}

DeviceFlash::~DeviceFlash() = default;

DeviceFlash& DeviceFlash::of(FieldbusDevice& device)
{
    // The only maker installed makes a DeviceFlash.
    return static_cast<DeviceFlash&>(device.getDownload());
}

std::shared_ptr<FlashProtocol> DeviceFlash::getFlashProtocol()
{
    std::lock_guard<std::mutex> guard(lock);
    if (!flashProtocol) {
        auto bus = device.getFieldbusProtocol();
        if (bus)
            flashProtocol = FlashProtocol::create(bus->getProtocolName(), bus.get(), &device);
    }
    return flashProtocol;
}

std::shared_ptr<FlashProcess> DeviceFlash::getFlashProcess()
{
    std::lock_guard<std::mutex> guard(lock);
    if (!flashProcess)
        flashProcess = std::make_shared<FlashProcess>(true);
    return flashProcess;
}

void DeviceFlash::flash(std::shared_ptr<FlashData> flashData, std::shared_ptr<FlashApiData> apiData,
                        std::shared_ptr<FlashProtocolSettings> settings, bool threaded)
{
    commonbase::Dbg dbg(0, __FILE__, "flash");
    auto protocol = getFlashProtocol();
    if (!protocol)
        throw FlashException::fromReason(FlashReason::noProtocol);
    auto process = getFlashProcess();
    if (process->isBusy())
        throw FlashException::fromReason(FlashReason::busy);
    protocol->setFlashProcess(process);
    protocol->setSettings(std::move(settings));
    process->setThreaded(threaded);
    process->flash(std::move(flashData), std::move(apiData), protocol);
}

void DeviceFlash::stopAndJoin()
{
    std::shared_ptr<FlashProcess> process;
    {
        std::lock_guard<std::mutex> guard(lock);
        process = flashProcess;
    }
    if (!process)
        return;
    if (process->isBusy())
        process->stop();
    process->join();
}

} // namespace Kavrel
