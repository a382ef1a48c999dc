#include "core/UploadThread.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "core/FieldbusDevice.h"

namespace Kavrel {

UploadThread::UploadThread(FieldbusDevice* device_, std::mutex* accessLock_) : device(device_), accessLock(accessLock_)
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

UploadThread::~UploadThread()
{
    commonbase::Dbg dbg(0, __FILE__, "Destructor");
    stop();
}

void UploadThread::start()
{
    commonbase::Dbg dbg(0, __FILE__, "start");
    std::lock_guard<std::mutex> control(controlMutex);
    if (thread.joinable())
        return;
    stopRequested = 0;
    running = 1;
    thread = std::thread([this] { threadRoutine(); });
}

void UploadThread::stop()
{
    commonbase::Dbg dbg(0, __FILE__, "stop");
    std::lock_guard<std::mutex> control(controlMutex);
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id()) {
        stopRequested = 1;
        return;
    }
    if (running.load() != 0)
        stopRequested = 1;
    thread.join();
}

void UploadThread::threadRoutine()
{
    commonbase::Dbg dbg(0, __FILE__, "threadRoutine");
    const std::int32_t session = FieldbusDevice::uploadSessionId;
    if (device->initUpload() != 1 || stopRequested.load() != 0) {
        device->markUploadStartFailed();
    } else {
        std::int32_t packet = 1;
        std::int32_t result = device->getUpload(session, packet);
        while (result == 1 && stopRequested.load() == 0 && device->isConnected() == 1) {
            ++packet;
            device->notifyNextPacket(session, packet);
            result = device->getUpload(session, packet);
        }
    }
    running = 0;
    if (stopRequested.load() != 0)
        device->markUploadStopped();
    device->notifyUploadFinished(session);
}

} // namespace Kavrel
