#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace Kavrel {

class FieldbusInterface;

// Tries each id of an interface's scan range after a short start delay,
// connects the drives that answer and reports every attempt and the end.
// There is at most one scan worker in the process (see module()).
class NetworkScanThread {
public:
    // Lets the host finish what it was doing with the bus before the scan takes it.
    static constexpr std::chrono::milliseconds startDelay{1100};

    NetworkScanThread(FieldbusInterface* fieldbusInterface, std::mutex* scanLock);
    virtual ~NetworkScanThread();
    NetworkScanThread(const NetworkScanThread&) = delete;
    NetworkScanThread& operator=(const NetworkScanThread&) = delete;

    // Makes the thread once; a worker runs one scan only.
    void start();
    // Asks the routine to end after the id being tried and waits for it. On the
    // worker itself it only asks.
    void stop();
    bool isRunning() const { return running.load() != 0; }
    bool isWorkerThread() const;
    FieldbusInterface* getFieldbusInterface() const { return fieldbusInterface; }
    const std::set<std::uint32_t>& getAddresses() const { return addresses; }

    // The process-wide worker slot. Its lock guards the slot only: nobody joins
    // a worker while holding it (the worker may need it itself). Copies of the
    // pointer keep a worker alive while it is stopped outside the lock.
    struct Module {
        std::mutex lock;
        std::shared_ptr<NetworkScanThread> worker;
        ~Module();
    };
    static Module& module();

private:
    void threadRoutine();

    std::atomic<std::uint32_t> stopRequested{0};
    std::atomic<std::uint32_t> running{0};
    FieldbusInterface* fieldbusInterface;
    std::thread thread;
    std::mutex* scanLock;
    std::mutex workerLock; // start and join
    bool started = false;
    std::atomic<std::thread::id> workerId{};
    std::mutex wakeMutex; // the start delay, cut short by stop
    std::condition_variable wake;
    std::set<std::uint32_t> addresses;
};

} // namespace Kavrel
