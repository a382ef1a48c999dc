// Modbus TCP through the real Ethernet adapter against a server of the test's
// own on 127.0.0.1 that answers late, in pieces, too much, or with an odd
// header. Whatever it does, a read either returns the value of the register
// asked for or fails with a code and a text, and the connection serves the
// next read.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hardware/HardwareInterfaceEthernet.h"
#include "protocols/FieldbusProtocolModbusTcp.h"

using namespace Kavrel;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr auto replyTimeout = 1000ms;

enum class Behaviour {
    normal,
    inPieces,        // cut inside the data, the rest after a pause
    late,            // after the client's time-out
    oversized,       // the right answer and 1100 more bytes in one send
    oddHeader,       // transaction id 7, protocol id 1, length 0xFFFF; right PDU
    fourRegisters,   // twice the registers asked for, consistent length and count
    countLies,       // byte count 4, six data bytes, consistent length
    otherUnit,
};

// The value the server keeps at a register address: every parameter differs.
std::uint32_t valueAt(std::uint32_t address)
{
    return (address << 16) | (address ^ 0x5A5Au);
}

void sendAll(int fd, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

enum class Got { all, timedOut, closed };

Got readExactly(int fd, std::uint8_t* out, std::size_t n, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::size_t got = 0; got < n;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return Got::timedOut;
        const ssize_t r = ::recv(fd, out + got, n - got, 0);
        if (r <= 0)
            return Got::closed;
        got += static_cast<std::size_t>(r);
    }
    return Got::all;
}

// Answers each read request by the next behaviour of its script (normal once
// the script is used up), on one accepted connection; stops when the client
// closes or the server is destroyed.
class HostileServer {
public:
    explicit HostileServer(std::vector<Behaviour> script) : script(std::move(script))
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd, 1) != 0 ||
            ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            return;
        portNumber = ntohs(a.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~HostileServer()
    {
        stop = true;
        if (worker.joinable())
            worker.join();
        ::close(listenFd);
    }
    int port() const { return portNumber; }
    // Waits (bounded) until n answers have gone out in full.
    void awaitAnswered(std::size_t n) const
    {
        for (int i = 0; i < 500 && answered.load() < n; ++i)
            std::this_thread::sleep_for(10ms);
    }

private:
    void serve()
    {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return;
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Bounded: at most 100 requests, each awaited at most 10 s.
        for (int n = 0; !stop && n < 100; ++n) {
            std::uint8_t header[7];
            Got got = Got::timedOut;
            for (int wait = 0; !stop && wait < 50 && got == Got::timedOut; ++wait)
                got = readExactly(fd, header, 7, 200ms);
            if (got != Got::all || header[5] < 6)
                break;
            Bytes pdu(static_cast<std::size_t>(header[4] * 256 + header[5]) - 1);
            if (readExactly(fd, pdu.data(), pdu.size(), 2000ms) != Got::all || pdu[0] != 0x03)
                break;
            const Behaviour b = served < script.size() ? script[served] : Behaviour::normal;
            ++served;
            answer(fd, b, static_cast<std::uint16_t>(header[0] * 256 + header[1]), header[6],
                   static_cast<std::uint32_t>(pdu[1] * 256 + pdu[2]));
            ++answered;
        }
        ::close(fd);
    }

    static Bytes frame(std::uint16_t tid, std::uint16_t protocolId, std::uint8_t unit, const Bytes& pdu, int length = -1)
    {
        const std::size_t n = length >= 0 ? static_cast<std::size_t>(length) : pdu.size() + 1;
        Bytes f{static_cast<std::uint8_t>(tid >> 8), static_cast<std::uint8_t>(tid), static_cast<std::uint8_t>(protocolId >> 8),
                static_cast<std::uint8_t>(protocolId), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), unit};
        f.insert(f.end(), pdu.begin(), pdu.end());
        return f;
    }
    static Bytes readReply(std::uint32_t address, std::size_t registers)
    {
        Bytes pdu{0x03, static_cast<std::uint8_t>(2 * registers)};
        for (std::size_t r = 0; r < registers; r += 2) {
            const std::uint32_t v = valueAt(address + static_cast<std::uint32_t>(r));
            for (int shift = 24; shift >= 0; shift -= 8)
                pdu.push_back(static_cast<std::uint8_t>(v >> shift));
        }
        pdu.resize(2 + 2 * registers);
        return pdu;
    }

    void answer(int fd, Behaviour b, std::uint16_t tid, std::uint8_t unit, std::uint32_t address)
    {
        const Bytes good = readReply(address, 2);
        switch (b) {
        case Behaviour::normal: sendAll(fd, frame(tid, 0, unit, good)); break;
        case Behaviour::inPieces: {
            const Bytes f = frame(tid, 0, unit, good);
            sendAll(fd, Bytes(f.begin(), f.begin() + 10));
            std::this_thread::sleep_for(100ms);
            sendAll(fd, Bytes(f.begin() + 10, f.end()));
            break;
        }
        case Behaviour::late:
            std::this_thread::sleep_for(replyTimeout + 300ms);
            sendAll(fd, frame(tid, 0, unit, good));
            break;
        case Behaviour::oversized: {
            Bytes f = frame(tid, 0, unit, good);
            f.resize(f.size() + 1100, 0x5A);
            sendAll(fd, f);
            break;
        }
        case Behaviour::oddHeader: sendAll(fd, frame(7, 1, unit, good, 0xFFFF)); break;
        case Behaviour::fourRegisters: sendAll(fd, frame(tid, 0, unit, readReply(address, 4))); break;
        case Behaviour::countLies: {
            Bytes pdu = readReply(address, 2);
            pdu.push_back(0xAB);
            pdu.push_back(0xCD);
            sendAll(fd, frame(tid, 0, unit, pdu));
            break;
        }
        case Behaviour::otherUnit: sendAll(fd, frame(tid, 0, static_cast<std::uint8_t>(unit + 1), good)); break;
        }
    }

    std::vector<Behaviour> script;
    std::size_t served = 0;
    std::atomic<std::size_t> answered{0};
    int listenFd = -1;
    int portNumber = 0;
    std::atomic<bool> stop{false};
    std::thread worker;
};

} // namespace

TEST(ModbusTcpHostile, NoWrongValueIsEverAccepted)
{
    using B = Behaviour;
    using P = FieldbusProtocolModbusBase;
    using E = HardwareInterfaceEthernet;
    constexpr std::uint32_t ok = 0;
    struct Case {
        const char* name;
        std::vector<Behaviour> script;
        std::vector<std::uint32_t> codes; // of consecutive reads; ok = the right value
    } cases[] = {
        // What comes after a failed read is dropped before the next request.
        {"reply in pieces", {B::inPieces}, {P::errorReplyTooShort}},
        {"late reply", {B::late}, {E::errorTimeout}},
        {"oversized reply", {B::oversized}, {P::errorWrongReply}},
        // The header's content is not judged: the PDU decides.
        {"odd transaction id, protocol id and length", {B::oddHeader}, {ok}},
        {"four registers for two", {B::fourRegisters}, {P::errorWrongReply}},
        {"byte count short of the data", {B::countLies}, {P::errorWrongReply}},
        {"another unit", {B::otherUnit}, {P::errorWrongReply}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostileServer server(c.script);
        ASSERT_NE(server.port(), 0);
        auto hw = std::make_shared<HardwareInterfaceEthernet>();
        GenericParameters p;
        p.setText(0, "127.0.0.1");
        p.setText(1, std::to_string(server.port()));
        hw->setParameters(p);
        hw->setReplyTimeout(replyTimeout);
        FieldbusProtocolModbusTcp tcp(hw);
        ASSERT_EQ(tcp.openInterface(1), 1) << hw->getLastErrorText();
        // One read per scripted answer, then one the server answers normally;
        // each of another parameter, so a value taken from the wrong reply shows.
        for (std::size_t i = 0; i <= c.codes.size(); ++i) {
            const auto subindex = static_cast<std::uint16_t>(10 * i + 1);
            const std::uint32_t expected = i < c.codes.size() ? c.codes[i] : ok;
            // Everything the server meant for earlier reads is on its way.
            server.awaitAnswered(i);
            std::uint32_t value = 0xDEADBEEF;
            const std::int32_t result = tcp.readParameter(1, 4, 2, subindex, value);
            if (expected == ok) {
                EXPECT_EQ(result, 1) << "read " << i << ": " << tcp.getLastErrorString();
                EXPECT_EQ(value, valueAt((2 * 128 + subindex) * 2)) << "read " << i;
            } else {
                EXPECT_EQ(result, 0) << "read " << i << " took 0x" << std::hex << value;
                EXPECT_EQ(tcp.getLastErrorCode(), expected) << "read " << i;
                EXPECT_FALSE(tcp.getLastErrorString().empty()) << "read " << i;
            }
        }
        tcp.closeInterface();
    }
}
