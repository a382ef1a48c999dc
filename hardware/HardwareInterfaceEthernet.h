#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include "hardware/HardwareInterface.h"

namespace Kavrel {

// TCP client to one drive: the server address (dotted IPv4) and port come
// from the generic parameters 0 and 1. It carries Modbus TCP frames: each
// starts with the application header (transaction id, protocol id 0, length
// of what follows). One request goes out in one send; the answer is the frame
// that carries the request's transaction id, read until its length is
// complete, within one reply time-out. Frames of other transactions (late
// answers to earlier requests) are dropped on the way. A frame with another
// protocol id, an impossible length, or bytes beyond its length fails with
// errorFrame, and what is left of the stream is thrown away.
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
    static constexpr std::uint32_t errorFrame = 0x1208;

    static constexpr const char* defaultPort = "502";
    // Application header: transaction id, protocol id, length (2 bytes each).
    static constexpr std::size_t headerSize = 6;
    // Header plus unit and the largest PDU (253 bytes).
    static constexpr std::size_t maxFrameSize = headerSize + 1 + 253;
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

    enum class Frame { incomplete, complete, malformed };
    // Judges the bytes received so far: complete sets size to the length of
    // the first frame among them; malformed puts the reason into why.
    static Frame scanFrame(const std::uint8_t* data, std::size_t count, std::size_t& size, std::string& why);

    // Bounds of the connect and of the wait for an answer (20 s each unless
    // changed; tests shorten them).
    void setConnectTimeout(std::chrono::milliseconds timeout) { connectTimeout = timeout; }
    void setReplyTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds getConnectTimeout() const { return connectTimeout; }
    std::chrono::milliseconds getReplyTimeout() const { return replyTimeout; }

private:
    void closeSocket();
    // Drops what was received and what is already waiting (after a broken frame).
    void dropInput();
    std::int32_t connectSocket(const std::string& address, std::uint16_t port);
    // The receive time-out of the socket, so the first wait for an answer is
    // the receive call itself.
    void applyReceiveTimeout();
    // One receive into the buffer: first blocking on the socket's time-out,
    // later with a wait for what is left until the deadline.
    // > 0 bytes received, 0 peer closed, -1 failure (errno), -2 time-out.
    ssize_t receiveMore(bool first, std::chrono::steady_clock::time_point deadline);
    std::int32_t fail(std::uint32_t code, std::string text);

    int socketFd = -1;
    // The POSIX socket API needs no start-up; the flag keeps the open/close
    // pairing of the adapter (close cleans up only after an open).
    bool started = false;
    std::chrono::milliseconds connectTimeout = defaultTimeout;
    std::chrono::milliseconds replyTimeout = defaultTimeout;
    // Bytes received but not yet consumed: the start of a frame still coming.
    std::array<std::uint8_t, receiveBufferSize> received{};
    std::size_t receivedCount = 0;
};

} // namespace Kavrel
