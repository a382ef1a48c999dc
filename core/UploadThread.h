#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Kavrel {

class FieldbusDevice;

// Fetches a device's upload packet by packet in the background and tells the
// device's twin about each next packet and about the end.
class UploadThread {
public:
    UploadThread(FieldbusDevice* device, std::mutex* accessLock);
    virtual ~UploadThread();
    UploadThread(const UploadThread&) = delete;
    UploadThread& operator=(const UploadThread&) = delete;

    void start();
    // Asks the routine to end and waits for it.
    void stop();
    bool isRunning() const { return running.load() != 0; }

private:
    void threadRoutine();

    std::atomic<std::uint32_t> stopRequested{0};
    std::atomic<std::uint32_t> running{0};
    FieldbusDevice* device;
    std::thread thread;
    std::mutex* accessLock; // the device's steps take it themselves
    std::mutex controlMutex;
};

} // namespace Kavrel
