#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include "hardware/HardwareInterface.h"

namespace Kavrel {

// TCP client to one drive: the server address (dotted IPv4) and port come
// from the generic parameters 0 and 1. One request goes out in one send; the
// answer is what one receive returns (at most 1024 bytes) within the reply
// time-out. Judging whether that is a whole answer to the request is the
// protocol's business. Bytes already waiting before a request goes out (an
// answer that came after its request had timed out, or the rest of a cut
// one) are dropped first, so they are never taken for the new request's.
//
// The socket belongs to the object that opened it: copies (as listed by
// getAvailableInterfaces) share the bus mutex but start closed, so a copy
// never closes a descriptor it does not own.
class HardwareInterfaceEthernet : public HardwareInterface {
public:
    static constexpr std::uint32_t errorConnect = 0x1201;
    static constexpr std::uint32_t errorSocket = 0x1202;
    static constexpr std::uint32_t errorVersion = 0x1203;
    static constexpr std::uint32_t errorStartup = 0x1204;
    static constexpr std::uint32_t errorTimeout = 0x1205;
    static constexpr std::uint32_t errorReceive = 0x1206;
    static constexpr std::uint32_t errorSend = 0x1207;

    static constexpr const char* defaultPort = "502";
    static constexpr std::size_t receiveBufferSize = 1024;
    static constexpr std::chrono::milliseconds defaultTimeout{20000};

    HardwareInterfaceEthernet();
    HardwareInterfaceEthernet(const HardwareInterfaceEthernet& other);
    HardwareInterfaceEthernet& operator=(const HardwareInterfaceEthernet&) = delete;
    ~HardwareInterfaceEthernet() override;

    std::int32_t getAvailableInterfaces(HardwareInterfaceList& list) override;
    // 1 when connected; -1 when the connection failed, 0 for other failures.
    std::int32_t openInterface() override;
    // Always 0.
    std::int32_t closeInterface() override;
    std::int32_t sendMessage(const GenericParameters& request, GenericParameters& response) override;

    bool isOpen() const { return socketFd >= 0; }

    // Bounds of the connect and of the wait for an answer (20 s each unless
    // changed; tests shorten them).
    void setConnectTimeout(std::chrono::milliseconds timeout) { connectTimeout = timeout; }
    void setReplyTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds getConnectTimeout() const { return connectTimeout; }
    std::chrono::milliseconds getReplyTimeout() const { return replyTimeout; }

private:
    void closeSocket();
    // Drops what is already waiting on the socket, without waiting.
    void dropStaleInput();
    std::int32_t connectSocket(const std::string& address, std::uint16_t port);
    // The receive time-out of the socket, so the first wait for an answer is
    // the receive call itself.
    void applyReceiveTimeout();
    // The one receive of an answer: blocking on the socket's time-out (wait
    // and read in one call). > 0 bytes received, 0 peer closed, -1 failure
    // (errno), -2 time-out.
    ssize_t receiveAnswer();
    std::int32_t fail(std::uint32_t code, std::string text);

    int socketFd = -1;
    // The POSIX socket API needs no start-up; the flag keeps the open/close
    // pairing of the adapter (close cleans up only after an open).
    bool started = false;
    std::chrono::milliseconds connectTimeout = defaultTimeout;
    std::chrono::milliseconds replyTimeout = defaultTimeout;
    std::array<std::uint8_t, receiveBufferSize> received{};
};

} // namespace Kavrel
