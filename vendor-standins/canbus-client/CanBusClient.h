#pragma once
// A client of a socketcand server in rawmode: the connection itself, and a
// port that receives on its own thread into a bounded queue.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CanBusProtocol.h"

namespace canbus {

enum class SendResult { ok, full, lost };

// Microseconds of the steady clock (arrival times of received frames).
std::uint64_t steadyMicros();

class Connection {
public:
    // Connects, expects "< hi >", sets the bit rate with the bit-timing
    // command (not for an endpoint with a fixed @RATE, which must then equal
    // rate), opens the bus and enters rawmode, each answer awaited within
    // timeout. rate 0 keeps the bus default. nullptr with a reason on failure.
    static std::unique_ptr<Connection> open(const Endpoint& endpoint, std::uint32_t rate, std::string& error,
                                            std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd() const { return socket; }
    const Endpoint& endpoint() const { return where; }
    // Writes one "< send ... >"; waits up to timeout for room in the socket
    // (a message once begun is always finished). Safe from several threads.
    SendResult send(const Frame& frame, std::chrono::milliseconds timeout);
    // Reads what the socket holds now and appends the frames; false once the
    // connection is gone (closed, failed, or the stream is garbled).
    bool receive(std::vector<Frame>& frames);
    // Frames that came with the handshake's last answer.
    void takeEarlyFrames(std::vector<Frame>& frames);

private:
    Connection(int fd, Endpoint endpoint) : socket(fd), where(std::move(endpoint)) {}
    bool writeAll(const std::string& text, std::chrono::milliseconds timeout, bool& begun);
    bool collect(std::vector<Frame>& frames);

    int socket = -1;
    Endpoint where;
    MessageReader reader;
    std::mutex sendMutex;
};

// A connection whose frames are received on a thread into a bounded queue
// (the oldest frames stay; new ones are dropped and counted when it is
// full). Optionally each queued frame adds 1 to an eventfd.
class ReceivePort {
public:
    struct Received {
        Frame frame;
        std::uint64_t arrivalUs = 0; // steadyMicros() at arrival
        bool overrun = false;        // frames were dropped just before this one
    };
    using Filter = std::function<bool(const Frame&)>;

    ReceivePort(std::unique_ptr<Connection> connection, std::size_t capacity);
    ~ReceivePort();
    ReceivePort(const ReceivePort&) = delete;
    ReceivePort& operator=(const ReceivePort&) = delete;

    // Frames the filter refuses are not queued (no filter: all are).
    void setFilter(Filter filter);
    void setNotifyFd(int fd);
    void setCapacity(std::size_t capacity);
    SendResult send(const Frame& frame, std::chrono::milliseconds timeout);
    // Waits up to timeout (negative: without limit) until a frame is queued
    // or the connection is lost; true when one is queued.
    bool wait(std::chrono::milliseconds timeout);
    // Takes the oldest queued frame, if any.
    bool take(Received& out);
    void clear();
    std::size_t size() const;
    std::uint32_t lostFrames() const;
    bool alive() const { return connected.load(); }

private:
    void loop();

    std::unique_ptr<Connection> connection;
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Received> queue;
    std::size_t capacity;
    Filter filter;
    int notifyFd = -1;
    std::uint32_t lost = 0;
    bool overrunPending = false;
    std::atomic<bool> connected{true};
    int stopFd = -1;
    std::thread worker;
};

} // namespace canbus
