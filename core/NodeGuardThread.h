#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Kavrel {

class FieldbusInterface;

// Watches the guarded devices of one interface: wakes every 100 ms and reads
// the sign-of-life parameter of each device whose next telegram is due.
class NodeGuardThread {
public:
    static constexpr std::chrono::milliseconds wakeInterval{100};

    NodeGuardThread(FieldbusInterface* fieldbusInterface, std::recursive_mutex* nodeGuardLock);
    virtual ~NodeGuardThread();
    NodeGuardThread(const NodeGuardThread&) = delete;
    NodeGuardThread& operator=(const NodeGuardThread&) = delete;

    // Starts a worker unless one runs; an ended worker is replaced.
    void start();
    // Ends the worker and waits for it; from the worker itself only asks it to end.
    void stop();
    bool isRunning() const { return running.load() != 0; }
    bool isWorkerThread() const;

private:
    void threadRoutine();
    // Guarding pauses while a device of the interface takes a firmware download.
    bool anyDownloading() const;

    std::atomic<std::uint32_t> stopRequested{0};
    std::atomic<std::uint32_t> running{0};
    FieldbusInterface* fieldbusInterface;
    std::thread thread;
    std::recursive_mutex* nodeGuardLock;
    std::atomic<std::thread::id> workerId{};
    std::mutex controlMutex; // start and stop from the host's threads
    std::mutex wakeMutex;
    std::condition_variable wake;
};

} // namespace Kavrel
