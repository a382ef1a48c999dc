#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CanBusProtocol.h"

namespace canbusd {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    std::map<std::string, std::uint32_t> buses; // name -> default bit rate
    bool pace = false;
    bool verbose = false;
    // Frames to a client wait this long after its rawmode "< ok >", so that
    // a client reading that answer with one recv gets it alone.
    std::chrono::milliseconds rawHold{20};
    // A client whose unsent output exceeds this is dropped.
    std::size_t maxQueuedBytes = 64 * 1024;
    // Frames waiting for a paced bus beyond this are dropped.
    std::size_t maxPacedFrames = 1000;
};

// A socketcand rawmode server: one poll loop, non-blocking sockets, bounded
// queues. Frames go to every other raw client of the same bus that runs at
// the same bit rate, never back to the sender.
class CanBusServer {
public:
    explicit CanBusServer(Options options);
    ~CanBusServer();
    CanBusServer(const CanBusServer&) = delete;
    CanBusServer& operator=(const CanBusServer&) = delete;

    // Binds and listens; gives back the bound port.
    bool listen(int& boundPort, std::string& error);
    // Serves until stopFd becomes readable.
    void run(int stopFd);

private:
    enum class State { greeted, opened, raw, closing };
    struct Client {
        int fd = -1;
        std::uint64_t serial = 0;
        State state = State::greeted;
        std::string bus;
        std::uint32_t rate = 0;
        canbus::MessageReader reader;
        // Each entry is written with its own send() (hi/ok/error alone);
        // frames may be joined into one write.
        struct Out {
            std::string text;
            bool control;
        };
        std::deque<Out> out;
        std::size_t outOffset = 0; // bytes of out.front() already written
        std::size_t queuedBytes = 0;
        Clock::time_point holdUntil{};
        std::string peer;
    };
    struct Pending {
        Clock::time_point due;
        std::uint64_t sender;
        canbus::Frame frame;
    };
    struct PacedBus {
        Clock::time_point busyUntil{};
        std::deque<Pending> queue;
    };

    void accept();
    void onReadable(Client& c);
    void onMessage(Client& c, const std::vector<std::string>& tokens);
    void queueControl(Client& c, const std::string& text);
    void queueFrame(Client& c, const std::string& text);
    void flush(Client& c);
    void drop(Client& c, const char* why);
    void deliver(std::uint64_t sender, const std::string& bus, std::uint32_t rate, const canbus::Frame& frame);
    void releasePaced(Clock::time_point now);
    int pollTimeoutMs(Clock::time_point now) const;
    void log(const std::string& text) const;

    Options options;
    int listenFd = -1;
    std::uint64_t nextSerial = 1;
    std::vector<std::unique_ptr<Client>> clients;
    std::map<std::pair<std::string, std::uint32_t>, PacedBus> paced;
};

} // namespace canbusd
