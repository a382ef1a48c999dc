// The serial port on a pseudo-terminal: the slave is opened through
// HardwareInterfaceSerialPort, the test plays the peer on the master.
#include <gtest/gtest.h>

#include "HardwareTestLog.h"
#include "LinePeers.h"
#include "commonbase/ErrorHandler.h"
#include "core/CommunicationManager.h"
#include "hardware/HardwareInterfaceSerialPort.h"
#include "hardware/HardwareInterfaceSerialPort_Enumerator.h"
#include "support/TestSupport.h"

using kavreltest::Clock;
using Kavrel::GenericParameters;
using Kavrel::HardwareInterfaceSerialPort;
using S = HardwareInterfaceSerialPort;
using namespace std::chrono_literals;

namespace {

GenericParameters format(const std::string& parity, const std::string& dataBits, const std::string& stopBits)
{
    return kavreltest::texts({{0, parity}, {1, dataBits}, {2, stopBits}});
}

GenericParameters request(const std::string& bytes, const std::string& end = "\r")
{
    GenericParameters r;
    r.setBytes(bytes);
    if (!end.empty())
        r.setText(3, end);
    return r;
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.ok());
        port->setBaudrate(19200);
        port->setParameters(format("E", "7", "1"));
    }
    // One request that the peer answers in the given pieces; the answer, or
    // "!" and the code on failure. seen: what the peer received.
    std::string exchange(const std::string& bytes, std::vector<std::string> pieces = {}, const std::string& end = "\r",
                         std::chrono::milliseconds gap = 0ms, std::string* seen = nullptr)
    {
        std::thread drive([&] {
            const std::string got = peer.readUntil(end[0], 2000ms);
            if (seen)
                *seen = got;
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                std::this_thread::sleep_for(i > 0 ? gap : 0ms);
                peer.write(pieces[i]);
            }
        });
        GenericParameters resp;
        const bool ok = port->sendMessage(request(bytes, end), resp) == 1;
        drive.join();
        return ok ? resp.bytesAsText() : "!" + std::to_string(port->getLastErrorCode());
    }
    kavreltest::PtyPeer peer;
    std::unique_ptr<HardwareInterfaceSerialPort> port = std::make_unique<HardwareInterfaceSerialPort>(peer.path());
};

std::string code(std::uint32_t c) { return "!" + std::to_string(c); }

TEST_F(SerialPort, ExchangesAreByteExactAndFailuresWaitOutTheReadTimeOut)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    // A stale answer waiting in the line is dropped before the first request.
    peer.write("#07\r");
    std::this_thread::sleep_for(50ms);
    const std::string binary("\x00\xff\x7f\x80\n", 5), babble(3000, 'x');
    // response: the answer, or "!" and the code.
    const struct { const char* name; std::string request, end; std::vector<std::string> pieces;
                   std::chrono::milliseconds gap; std::string response; } cases[] = {
        {"address", "#05\r", "\r", {"#05\r"}, 0ms, "#05\r"},
        {"binary bytes pass unchanged", binary, "\n", {std::string("\x00\x0d\xff", 3), "\n"}, 5ms,
         std::string("\x00\x0d\xff\n", 4)},
        {"pieces with short gaps", "0201000A00000000\r", "\r", {"0201", "000A", "0000", "1234\r"}, 10ms,
         "0201000A00001234\r"},
        {"gap below the read time-out", "Q\r", "\r", {"AB", "CD\r"}, 80ms, "ABCD\r"},
        {"end character inside the data ends early", "Q\r", "\r", {"AB\rCD\r"}, 0ms, "AB\r"},
        {"a gap past the read time-out drops the start", "Q\r", "\r", {"AB", "CD\r"}, 450ms, code(S::errorNoEndCharacter)},
        {"reply without end character", "Q\r", "\r", {"020A0001000012"}, 0ms, code(S::errorNoEndCharacter)},
        {"endless answer is cut off", "Q\r", "\r", {babble, babble}, 10ms, code(S::errorNoEndCharacter)},
        {"silent peer", "#05\r", "\r", {}, 0ms, code(S::errorNoReply)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string seen;
        const auto start = Clock::now();
        EXPECT_EQ(exchange(c.request, c.pieces, c.end, c.gap, &seen), c.response) << port->getLastErrorText();
        EXPECT_EQ(seen, c.request);
        EXPECT_TRUE(c.response != code(S::errorNoReply) || Clock::now() - start >= S::readTimeout - 20ms)
            << "gave up before the read time-out";
        EXPECT_EQ(port->getLastErrorText().empty(), c.response[0] != '!');
        // Leftovers of a failed case arrive now; the next request must not see them.
        std::this_thread::sleep_for(c.response[0] == '!' ? 500ms : 0ms);
        peer.readFor(10ms);
    }
}

TEST_F(SerialPort, CharacterFormatsOnAPseudoTerminal)
{
    auto& log = kavreltest::LogLines::instance();
    // warns: parity or character size asked for.
    const struct { std::string parity, dataBits, stopBits; std::uint32_t baud; speed_t speed; bool twoStopBits, warns; }
    cases[] = {
        {"E", "7", "1", 19200, B19200, false, true}, {"E", "8", "1", 9600, B9600, false, true},
        {"N", "8", "1", 38400, B38400, false, false}, {"O", "8", "2", 115200, B115200, true, true},
        {"N", "8", "2", 19200, B19200, true, false},  {"X", "8", "1", 19200, B19200, false, false},
        {"M", "7", "3", 19200, B19200, true, true},
        // No stop-bit code leaves the line as the case before left it.
        {"S", "8", "", 19200, B19200, true, true},    {"N", "8", "1", 19200, B19200, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.parity + "," + c.dataBits + "," + c.stopBits + "@" + std::to_string(c.baud));
        port->setBaudrate(c.baud);
        port->setParameters(format(c.parity, c.dataBits, c.stopBits));
        log.clear();
        ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
        EXPECT_TRUE(port->isPseudoTerminal());
        EXPECT_EQ(log.count("parity and character size are not emulated on a pseudo-terminal"), c.warns ? 1u : 0u);
        // The line settings as another descriptor on the same device sees them
        // (only root gets past the port's exclusive use).
        termios t{};
        const int fd = ::open(peer.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
            EXPECT_EQ(::cfgetospeed(&t), c.speed);
            EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
            EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStopBits);
            EXPECT_TRUE(!(t.c_lflag & ICANON) && !(t.c_iflag & (IXON | IXOFF | ICRNL)) && !(t.c_oflag & OPOST)) << "raw mode";
        }
        ::close(fd);
        // Whatever was asked for, the bytes arrive as they were sent.
        std::string seen;
        EXPECT_EQ(exchange("\xc1\x41\xff\r", {"\xe5\x7f\r"}, "\r", 0ms, &seen), "\xe5\x7f\r");
        EXPECT_EQ(seen, "\xc1\x41\xff\r");
        EXPECT_EQ(port->closeInterface(), 1);
    }
}

TEST(SerialPortOpen, BadPathsAndSettingsFailWithCodeAndText)
{
    kavreltest::PtyPeer free, held;
    ASSERT_TRUE(free.ok() && held.ok());
    kavreltest::TempDir dir;
    HardwareInterfaceSerialPort holder(held.path());
    holder.setBaudrate(19200);
    ASSERT_EQ(holder.openInterface(), 1) << holder.getLastErrorText();
    const struct { const char* name; std::string path; std::uint32_t baud; std::string dataBits; std::uint32_t code; } cases[] = {
        {"missing path", dir.str() + "ttyMissing", 19200, "8", S::errorOpen},
        {"a folder", dir.str(), 19200, "8", S::errorOpen}, {"empty path", "", 19200, "8", S::errorOpen},
        {"a plain file", dir.write("not-a-port", "x").string(), 19200, "8", S::errorNotSerial},
        {"not a terminal", "/dev/null", 19200, "8", S::errorNotSerial},
        {"AUTO baud rate", free.path(), 0, "8", S::errorBaudrate},
        {"odd baud rate", free.path(), 12345, "8", S::errorBaudrate},
        {"nine data bits", free.path(), 19200, "9", S::errorSettings},
        {"data bits not a number", free.path(), 19200, "seven", S::errorSettings},
        {"held by another port object", held.path(), 19200, "8", S::errorBusy},
    };
    Kavrel::CommunicationManager::getInstance(); // loads the error-text file
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HardwareInterfaceSerialPort port(c.path);
        port.setBaudrate(c.baud);
        port.setParameters(format("E", c.dataBits, "1"));
        EXPECT_EQ(port.openInterface(), 0);
        EXPECT_EQ(port.getLastErrorCode(), c.code) << port.getLastErrorText();
        EXPECT_FALSE(port.getLastErrorText().empty());
        const auto registered =
            commonbase::ErrorHandler::instance().getErrorText(static_cast<std::uint16_t>(c.code)).toUtf8();
        EXPECT_EQ(registered.find("!!"), std::string::npos) << registered;
        GenericParameters resp;
        EXPECT_EQ(port.sendMessage(request("#01\r"), resp), 0);
        port.closeInterface();
    }
    // Once the holder lets go, the port can be had.
    EXPECT_EQ(holder.closeInterface(), 1);
    EXPECT_EQ(holder.closeInterface(), 0) << "closing a closed port";
    HardwareInterfaceSerialPort next(held.path());
    next.setBaudrate(19200);
    EXPECT_EQ(next.openInterface(), 1) << next.getLastErrorText();
}

TEST_F(SerialPort, RequestsThatCannotBeSentSendNothingCopiesShareOnlyTheMutexAndAVanishedPeerIsAnError)
{
    GenericParameters resp;
    EXPECT_EQ(port->sendMessage(request("#01\r"), resp), 0);
    EXPECT_EQ(port->getLastErrorCode(), S::errorNotOpen);
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    for (const auto& bad : {request("#01\r", ""), request("")}) {
        EXPECT_EQ(port->sendMessage(bad, resp), 0);
        EXPECT_EQ(port->getLastErrorCode(), S::errorBadRequest);
    }
    EXPECT_EQ(peer.readFor(100ms), "");
    // Opening again while open starts over on the same line.
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    HardwareInterfaceSerialPort copy(*port);
    EXPECT_EQ(copy.getMutex(), port->getMutex());
    EXPECT_FALSE(copy.isOpen());
    EXPECT_EQ(copy.closeInterface(), 0) << "a copy closes nothing it did not open";
    EXPECT_EQ(exchange("#01\r", {"#01\r"}), "#01\r");
    // A vanished peer is an error, not a hang.
    peer.hangUp();
    EXPECT_EQ(port->sendMessage(request("#01\r"), resp), 0);
    const std::string r = code(port->getLastErrorCode());
    EXPECT_TRUE(r == code(S::errorLineLost) || r == code(S::errorWrite) || r == code(S::errorNoReply)) << r;
    EXPECT_EQ(port->closeInterface(), 1);
}

TEST_F(SerialPort, TwoThreadsNeverInterleaveFrames)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    // The answer comes in two halves with a gap, so an unlocked second
    // request would land between them and take the other thread's answer.
    peer.serve([&](const std::string& line) {
        peer.write("R" + line.substr(0, 2));
        std::this_thread::sleep_for(5ms);
        return line.substr(2);
    });
    constexpr int rounds = 15;
    auto run = [&](char who, int& good) {
        for (int i = 0; i < rounds; ++i) {
            const std::string id = who + std::to_string(10 + i);
            GenericParameters resp;
            good += port->sendMessage(request(id + "\r"), resp) == 1 && resp.bytesAsText() == "R" + id + "\r";
        }
    };
    int goodA = 0, goodB = 0;
    std::thread a([&] { run('A', goodA); });
    run('B', goodB);
    a.join();
    EXPECT_EQ(goodA, rounds);
    EXPECT_EQ(goodB, rounds);
    const auto lines = peer.requests(2 * rounds);
    EXPECT_EQ(lines.size(), 2u * rounds);
    for (const auto& line : lines)
        EXPECT_EQ(line.size(), 4u) << "interleaved request: " << line;
}

TEST(SerialPortListing, ListedPortsComeFirstOnceAsClosedCopiesSharingTheMutexOfTheirPath)
{
    kavreltest::PtyPeer a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    Kavrel::HardwareInterfaceList list;
    {
        // A pseudo-terminal's file name is all digits; its path is still a port, a bare number is not.
        kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", " 42 , " + a.path() + " ," + b.path() + ",," + a.path());
        ASSERT_GE(HardwareInterfaceSerialPort().getAvailableInterfaces(list), 2);
    }
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0]->getNameToOpen() + "|" + list[0]->getName() + "|" + list[1]->getNameToOpen(),
              a.path() + "|" + a.path() + "|" + b.path());
    for (std::size_t i = 0; i < list.size(); ++i)
        EXPECT_TRUE(list[i]->getName() != "42" && (i == 0 || list[i]->getName() != a.path())) << list[i]->getName();
    // One mutex per path: two listings of a port, or a port made for the path, share it.
    HardwareInterfaceSerialPort samePath(a.path());
    EXPECT_EQ(list[0]->getMutex(), samePath.getMutex());
    EXPECT_NE(list[0]->getMutex(), list[1]->getMutex());
    auto* first = dynamic_cast<HardwareInterfaceSerialPort*>(list[0].get());
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->isOpen());
    first->setBaudrate(19200);
    first->setParameters(format("N", "8", "1"));
    EXPECT_EQ(first->openInterface(), 1) << first->getLastErrorText();
    EXPECT_FALSE(samePath.isOpen());
    first->closeInterface();
}

TEST(SerialEnumerator, NumbersAreUniquePerPort)
{
    const struct { const char* path; std::set<std::uint32_t> taken; std::uint32_t number; } cases[] = {
        {"/dev/ttyS0", {}, 0},          {"/dev/ttyS3", {}, 3},         {"/dev/ttyUSB0", {}, 1000},
        {"/dev/ttyUSB12", {}, 1012},    {"/dev/ttyACM1", {}, 2001},    {"/dev/pts/7", {}, 3007},
        {"/tmp/x/ttyA", {}, 3000},      {"/dev/ttyUSB0", {1000}, 1001}, {"/dev/ttyS1", {1, 2}, 3},
        {"/tmp/ttyA", {3000, 3001}, 3002},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Kavrel::HardwareInterfaceSerialPort_Enumerator::numberFor(c.path, c.taken), c.number) << c.path;
}

} // namespace
