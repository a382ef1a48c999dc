// Modbus TCP through the real Ethernet adapter against a server on 127.0.0.1 that answers late, in pieces, too
// much, or with an odd header. Whatever it does, a read either returns the value of the register asked for or
// fails with a code and a text, and the connection serves the next read.
#include <gtest/gtest.h>

#include <netinet/tcp.h>

#include "../hardware/HardwareTestLog.h"
#include "../hardware/LinePeers.h"
#include "hardware/HardwareInterfaceEthernet.h"
#include "protocols/FieldbusProtocolModbusTcp.h"

using namespace Kavrel;
using namespace std::chrono_literals;

namespace {

constexpr auto replyTimeout = 1000ms;

enum class Behaviour { normal, inPieces, late, oversized, oddHeader, fourRegisters, countLies, otherUnit };

// The value the server keeps at a register address: every parameter differs.
std::uint32_t valueAt(std::uint32_t address)
{
    return (address << 16) | (address ^ 0x5A5Au);
}

std::string frame(std::uint16_t tid, std::uint16_t protocolId, char unit, const std::string& pdu, int length = -1)
{
    const auto n = static_cast<std::size_t>(length >= 0 ? length : static_cast<int>(pdu.size() + 1));
    return std::string{static_cast<char>(tid >> 8), static_cast<char>(tid), static_cast<char>(protocolId >> 8),
                       static_cast<char>(protocolId), static_cast<char>(n >> 8), static_cast<char>(n), unit} + pdu;
}

std::string readReply(std::uint32_t address, std::size_t registers)
{
    std::string pdu{0x03, static_cast<char>(2 * registers)};
    for (std::size_t r = 0; r < registers; r += 2)
        for (int shift = 24; shift >= 0; shift -= 8)
            pdu.push_back(static_cast<char>(valueAt(address + static_cast<std::uint32_t>(r)) >> shift));
    return pdu;
}

// Answers each read request by the next behaviour of the script (normal once
// it is used up), and counts the answers sent in full.
void serve(int fd, const std::vector<Behaviour>& script, std::atomic<std::size_t>& answered)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto word = [](const std::string& s, std::size_t at) {
        return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) * 256 + static_cast<std::uint8_t>(s[at + 1]));
    };
    for (std::size_t n = 0; n < 100; ++n) {
        const std::string h = kavreltest::readFd(fd, 10s, 7);
        if (h.size() != 7 || word(h, 4) < 6)
            return;
        const std::string pdu = kavreltest::readFd(fd, 2s, word(h, 4) - 1u);
        if (pdu.size() != word(h, 4) - 1u || pdu[0] != 0x03)
            return;
        const std::uint16_t tid = word(h, 0);
        const char unit = h[6];
        const std::string right = readReply(word(pdu, 1), 2), good = frame(tid, 0, unit, right);
        std::string answer;
        switch (n < script.size() ? script[n] : Behaviour::normal) {
        case Behaviour::normal: answer = good; break;
        case Behaviour::inPieces:
            kavreltest::writeFd(fd, good.substr(0, 10));
            std::this_thread::sleep_for(100ms);
            answer = good.substr(10);
            break;
        case Behaviour::late:
            std::this_thread::sleep_for(replyTimeout + 300ms);
            answer = good;
            break;
        case Behaviour::oversized: answer = good + std::string(1100, 0x5A); break;
        case Behaviour::oddHeader: answer = frame(7, 1, unit, right, 0xFFFF); break;
        case Behaviour::fourRegisters: answer = frame(tid, 0, unit, readReply(word(pdu, 1), 4)); break;
        case Behaviour::countLies: answer = frame(tid, 0, unit, right + "\xAB\xCD"); break;
        case Behaviour::otherUnit: answer = frame(tid, 0, static_cast<char>(unit + 1), right); break;
        }
        kavreltest::writeFd(fd, answer);
        ++answered;
    }
}

} // namespace

TEST(ModbusTcpHostile, NoWrongValueIsEverAccepted)
{
    using B = Behaviour;
    using P = FieldbusProtocolModbusBase;
    constexpr std::uint32_t ok = 0;
    const struct {
        const char* name;
        std::vector<Behaviour> script;
        std::uint32_t code;  // of the first read; ok = the right value
        const char* dropped; // logged before the second request
    } cases[] = {
        // The answer is what one receive returns; the rest is dropped before the next request.
        {"reply in pieces", {B::inPieces}, P::errorReplyTooShort, "dropped 3 bytes"},
        {"late reply", {B::late}, HardwareInterfaceEthernet::errorTimeout, "dropped 13 bytes"},
        {"oversized reply", {B::oversized}, P::errorWrongReply, "dropped 89 bytes"},
        // The header's content is not judged: the PDU decides.
        {"odd transaction id, protocol id and length", {B::oddHeader}, ok, ""},
        {"four registers for two", {B::fourRegisters}, P::errorWrongReply, ""},
        {"byte count short of the data", {B::countLies}, P::errorWrongReply, ""},
        {"another unit", {B::otherUnit}, P::errorWrongReply, ""},
    };
    auto& log = kavreltest::LogLines::instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<std::size_t> answered{0};
        kavreltest::TcpPeer server([&](int fd) { serve(fd, c.script, answered); });
        auto hw = std::make_shared<HardwareInterfaceEthernet>();
        hw->setParameters(kavreltest::texts({{0, "127.0.0.1"}, {1, std::to_string(server.port())}}));
        hw->setReplyTimeout(replyTimeout);
        FieldbusProtocolModbusTcp tcp(hw);
        ASSERT_EQ(tcp.openInterface(1), 1) << hw->getLastErrorText();
        // The scripted answer, then one the server answers normally; each of
        // another parameter, so a value taken from the wrong reply shows.
        for (std::uint16_t i = 0; i <= 1; ++i) {
            const auto subindex = static_cast<std::uint16_t>(10 * i + 1);
            const std::uint32_t expected = i == 0 ? c.code : ok;
            // Everything the server meant for earlier reads is on its way.
            for (int wait = 0; wait < 500 && answered.load() < i; ++wait)
                std::this_thread::sleep_for(10ms);
            std::uint32_t value = 0xDEADBEEF;
            log.clear();
            const auto start = std::chrono::steady_clock::now();
            const std::int32_t result = tcp.readParameter(1, 4, 2, subindex, value);
            EXPECT_TRUE(expected != HardwareInterfaceEthernet::errorTimeout ||
                        std::chrono::steady_clock::now() - start >= replyTimeout) << "gave up before the time-out";
            EXPECT_TRUE(i == 0 || log.contains(c.dropped)) << c.dropped;
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
