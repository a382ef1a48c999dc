// The serial port on a socat pseudo-terminal pair: one end is opened through
// HardwareInterfaceSerialPort, the test plays the peer on the other end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "commonbase/DebugInterface.h"
#include "commonbase/DebugManager.h"
#include "commonbase/ErrorHandler.h"
#include "core/CommunicationManager.h"
#include "hardware/HardwareInterfaceSerialPort.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Kavrel::GenericParameters;
using Kavrel::HardwareInterfaceSerialPort;

namespace {

// Keeps the WARN and worse lines of this adapter.
class WarnLines : public commonbase::DebugInterface {
public:
    static WarnLines& install()
    {
        static WarnLines* sink = [] {
            auto owned = std::make_unique<WarnLines>();
            WarnLines* raw = owned.get();
            commonbase::DebugManager::instance().addInterface(std::move(owned));
            return raw;
        }();
        return *sink;
    }
    WarnLines() { setLevel(2); }
    bool write(commonbase::WString, commonbase::WString component, commonbase::WString text) override
    {
        std::lock_guard<std::mutex> lock(m);
        if (component.toUtf8() == "HardwareInterfaceSerialPort")
            seen.push_back(text.toUtf8());
        return true;
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(m);
        return std::exchange(seen, {});
    }

private:
    std::mutex m;
    std::vector<std::string> seen;
};

GenericParameters format(const std::string& parity, const std::string& dataBits, const std::string& stopBits)
{
    GenericParameters p;
    p.setText(0, parity);
    p.setText(1, dataBits);
    p.setText(2, stopBits);
    return p;
}

GenericParameters request(const std::string& bytes, const std::string& end = "\r")
{
    GenericParameters r;
    r.setBytes(bytes);
    if (!end.empty())
        r.setText(3, end);
    return r;
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The line settings as another descriptor on the same device sees them.
bool lineSettings(const std::string& path, termios& t)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool ok = ::tcgetattr(fd, &t) == 0;
    ::close(fd);
    return ok;
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair.ok());
        port = std::make_unique<HardwareInterfaceSerialPort>(pair.a());
        port->setBaudrate(19200);
        port->setParameters(format("E", "7", "1"));
        peer = std::make_unique<kavreltest::RawPort>(pair.b());
        ASSERT_TRUE(peer->ok());
    }
    // Opens, and lets the peer answer one request in the given pieces.
    std::int32_t exchange(const GenericParameters& req, GenericParameters& resp, std::vector<std::string> pieces,
                          std::chrono::milliseconds gap, std::string* seen = nullptr)
    {
        std::thread drive([&] {
            const std::string got = peer->readUntil(req.getText(3).empty() ? '\r' : req.getText(3)[0], 1000ms);
            if (seen)
                *seen = got;
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                if (i > 0)
                    std::this_thread::sleep_for(gap);
                peer->write(pieces[i]);
            }
        });
        const std::int32_t result = port->sendMessage(req, resp);
        drive.join();
        return result;
    }
    kavreltest::SocatPair pair;
    std::unique_ptr<HardwareInterfaceSerialPort> port;
    std::unique_ptr<kavreltest::RawPort> peer;
};

TEST_F(SerialPort, ExchangesAreByteExact)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    // A stale answer waiting in the line is dropped before the first request.
    peer->write("#07\r");
    std::this_thread::sleep_for(50ms);
    struct Case {
        const char* name;
        std::string request;
        std::string end;
        std::vector<std::string> pieces;
        std::chrono::milliseconds gap;
        std::int32_t result;
        std::string response; // on success
        std::uint32_t code;   // on failure
    };
    const std::string binary("\x00\xff\x7f\x80\n", 5);
    const std::vector<Case> cases = {
        {"address", "#05\r", "\r", {"#05\r"}, 0ms, 1, "#05\r", 0},
        {"binary bytes pass unchanged", binary, "\n", {std::string("\x00\x0d\xff", 3), "\n"}, 5ms, 1,
         std::string("\x00\x0d\xff\n", 4), 0},
        {"pieces with short gaps", "0201000A00000000\r", "\r", {"0201", "000A", "0000", "1234\r"}, 10ms, 1,
         "0201000A00001234\r", 0},
        {"gap below the read time-out", "Q\r", "\r", {"AB", "CD\r"}, 80ms, 1, "ABCD\r", 0},
        {"end character inside the data ends early", "Q\r", "\r", {"AB\rCD\r"}, 0ms, 1, "AB\r", 0},
        {"a gap past the read time-out drops the start", "Q\r", "\r", {"AB", "CD\r"}, 450ms, 0, "",
         HardwareInterfaceSerialPort::errorNoEndCharacter},
        {"reply without end character", "Q\r", "\r", {"020A0001000012"}, 0ms, 0, "",
         HardwareInterfaceSerialPort::errorNoEndCharacter},
    };
    for (const auto& c : cases) {
        GenericParameters resp;
        std::string seen;
        const auto result = exchange(request(c.request, c.end), resp, c.pieces, c.gap, &seen);
        EXPECT_EQ(seen, c.request) << c.name;
        EXPECT_EQ(result, c.result) << c.name << ": " << port->getLastErrorText();
        if (c.result == 1) {
            EXPECT_EQ(text(resp.bytes), c.response) << c.name;
            EXPECT_EQ(port->getLastErrorCode(), 0u) << c.name;
        } else {
            EXPECT_TRUE(resp.bytes.empty()) << c.name << ": partial bytes are dropped";
            EXPECT_EQ(port->getLastErrorCode(), c.code) << c.name;
            EXPECT_FALSE(port->getLastErrorText().empty()) << c.name;
        }
        // Let leftovers of a failed case arrive; the next request must not see them.
        if (c.result != 1)
            std::this_thread::sleep_for(500ms);
        peer->readFor(10ms);
    }
}

TEST_F(SerialPort, SilentPeerFailsAfterTheReadTimeOut)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    GenericParameters resp;
    const auto start = Clock::now();
    EXPECT_EQ(port->sendMessage(request("#05\r"), resp), 0);
    const auto took = Clock::now() - start;
    EXPECT_EQ(port->getLastErrorCode(), HardwareInterfaceSerialPort::errorNoReply);
    EXPECT_GE(took, 180ms) << "gave up before the read time-out";
    EXPECT_LT(took, 2s) << "waited far past the read time-out";
    EXPECT_EQ(peer->readUntil('\r', 500ms), "#05\r");
}

TEST_F(SerialPort, EndlessAnswerIsCutOffInBoundedTime)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    std::atomic<bool> stop{false};
    std::thread babbler([&] {
        for (int i = 0; i < 400 && !stop; ++i) {
            peer->write(std::string(64, 'x'));
            std::this_thread::sleep_for(10ms);
        }
    });
    GenericParameters resp;
    const auto start = Clock::now();
    EXPECT_EQ(port->sendMessage(request("Q\r"), resp), 0);
    EXPECT_LT(Clock::now() - start, 3s);
    stop = true;
    babbler.join();
    EXPECT_EQ(port->getLastErrorCode(), HardwareInterfaceSerialPort::errorNoEndCharacter);
}

TEST_F(SerialPort, CharacterFormatsOnAPseudoTerminal)
{
    auto& warnings = WarnLines::install();
    struct Case {
        std::string parity, dataBits, stopBits;
        std::uint32_t baud;
        speed_t speed;
        bool twoStopBits;
        bool warns; // parity or character size asked for
    };
    const std::vector<Case> cases = {
        {"E", "7", "1", 19200, B19200, false, true}, {"E", "8", "1", 9600, B9600, false, true},
        {"N", "8", "1", 38400, B38400, false, false}, {"O", "8", "2", 115200, B115200, true, true},
        {"N", "8", "2", 19200, B19200, true, false},  {"X", "8", "1", 19200, B19200, false, false},
        {"M", "7", "3", 19200, B19200, true, true},
        // No stop-bit code leaves the line as the case before left it.
        {"S", "8", "", 19200, B19200, true, true},    {"N", "8", "1", 19200, B19200, false, false},
    };
    for (const auto& c : cases) {
        const std::string name = c.parity + "," + c.dataBits + "," + c.stopBits + "@" + std::to_string(c.baud);
        port->setBaudrate(c.baud);
        port->setParameters(format(c.parity, c.dataBits, c.stopBits));
        warnings.take();
        ASSERT_EQ(port->openInterface(), 1) << name << ": " << port->getLastErrorText();
        EXPECT_TRUE(port->isPseudoTerminal()) << name;
        const auto lines = warnings.take();
        std::size_t notEmulated = 0;
        for (const auto& line : lines)
            notEmulated += line.find("parity and character size are not emulated on a pseudo-terminal") !=
                           std::string::npos;
        EXPECT_EQ(notEmulated, c.warns ? 1u : 0u) << name;

        termios t{};
        if (lineSettings(pair.a(), t)) {
            EXPECT_EQ(::cfgetospeed(&t), c.speed) << name;
            EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << name;
            EXPECT_EQ(t.c_cflag & PARENB, 0u) << name;
            EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStopBits) << name;
            EXPECT_EQ(t.c_lflag & ICANON, 0u) << name << ": raw mode";
            EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u) << name;
            EXPECT_EQ(t.c_oflag & OPOST, 0u) << name;
        }
        // Whatever was asked for, the bytes arrive as they were sent.
        GenericParameters resp;
        std::string seen;
        const std::string bytes("\xc1\x41\xff\r", 4);
        ASSERT_EQ(exchange(request(bytes), resp, {"\xe5\x7f\r"}, 0ms, &seen), 1) << name;
        EXPECT_EQ(seen, bytes) << name;
        EXPECT_EQ(text(resp.bytes), "\xe5\x7f\r") << name;
        EXPECT_EQ(port->closeInterface(), 1) << name;
    }
}

TEST(SerialPortOpen, BadPathsAndSettingsFailWithCodeAndText)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    kavreltest::TempDir dir;
    const auto plainFile = dir.write("not-a-port", "x").string();
    HardwareInterfaceSerialPort holder(pair.b());
    holder.setBaudrate(19200);
    ASSERT_EQ(holder.openInterface(), 1) << holder.getLastErrorText();

    struct Case {
        const char* name;
        std::string path;
        std::uint32_t baud;
        std::string dataBits;
        std::uint32_t code;
    };
    const std::vector<Case> cases = {
        {"missing path", dir.str() + "ttyMissing", 19200, "8", HardwareInterfaceSerialPort::errorOpen},
        {"a folder", dir.str(), 19200, "8", HardwareInterfaceSerialPort::errorOpen},
        {"empty path", "", 19200, "8", HardwareInterfaceSerialPort::errorOpen},
        {"a plain file", plainFile, 19200, "8", HardwareInterfaceSerialPort::errorNotSerial},
        {"not a terminal", "/dev/null", 19200, "8", HardwareInterfaceSerialPort::errorNotSerial},
        {"AUTO baud rate", pair.a(), 0, "8", HardwareInterfaceSerialPort::errorBaudrate},
        {"odd baud rate", pair.a(), 12345, "8", HardwareInterfaceSerialPort::errorBaudrate},
        {"nine data bits", pair.a(), 19200, "9", HardwareInterfaceSerialPort::errorSettings},
        {"data bits not a number", pair.a(), 19200, "seven", HardwareInterfaceSerialPort::errorSettings},
        {"held by another port object", pair.b(), 19200, "8", HardwareInterfaceSerialPort::errorBusy},
    };
    // The texts come from the error-text file the manager loads.
    Kavrel::CommunicationManager::getInstance();
    for (const auto& c : cases) {
        HardwareInterfaceSerialPort port(c.path);
        port.setBaudrate(c.baud);
        port.setParameters(format("E", c.dataBits, "1"));
        const auto start = Clock::now();
        EXPECT_EQ(port.openInterface(), 0) << c.name;
        EXPECT_LT(Clock::now() - start, 2s) << c.name;
        EXPECT_EQ(port.getLastErrorCode(), c.code) << c.name << ": " << port.getLastErrorText();
        EXPECT_FALSE(port.getLastErrorText().empty()) << c.name;
        const auto registered =
            commonbase::ErrorHandler::instance().getErrorText(static_cast<std::uint16_t>(c.code)).toUtf8();
        EXPECT_EQ(registered.find("!!"), std::string::npos) << c.name << ": " << registered;
        GenericParameters resp;
        EXPECT_EQ(port.sendMessage(request("#01\r"), resp), 0) << c.name;
        port.closeInterface();
    }
    // Once the holder lets go, the port can be had.
    EXPECT_EQ(holder.closeInterface(), 1);
    EXPECT_EQ(holder.closeInterface(), 0) << "closing a closed port";
    HardwareInterfaceSerialPort next(pair.b());
    next.setBaudrate(19200);
    EXPECT_EQ(next.openInterface(), 1) << next.getLastErrorText();
}

TEST_F(SerialPort, RequestsThatCannotBeSentSendNothing)
{
    GenericParameters resp;
    EXPECT_EQ(port->sendMessage(request("#01\r"), resp), 0);
    EXPECT_EQ(port->getLastErrorCode(), HardwareInterfaceSerialPort::errorNotOpen);
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    EXPECT_EQ(port->sendMessage(request("#01\r", ""), resp), 0);
    EXPECT_EQ(port->getLastErrorCode(), HardwareInterfaceSerialPort::errorBadRequest);
    EXPECT_EQ(port->sendMessage(request(""), resp), 0);
    EXPECT_EQ(port->getLastErrorCode(), HardwareInterfaceSerialPort::errorBadRequest);
    EXPECT_EQ(peer->readFor(100ms), "");
    // Opening again while open starts over on the same line.
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    EXPECT_EQ(exchange(request("#01\r"), resp, {"#01\r"}, 0ms), 1);
}

TEST_F(SerialPort, VanishedPeerIsAnErrorNotAHang)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    peer.reset();
    pair.kill();
    GenericParameters resp;
    const auto start = Clock::now();
    EXPECT_EQ(port->sendMessage(request("#01\r"), resp), 0);
    EXPECT_LT(Clock::now() - start, 2s);
    const auto code = port->getLastErrorCode();
    EXPECT_TRUE(code == HardwareInterfaceSerialPort::errorLineLost || code == HardwareInterfaceSerialPort::errorWrite ||
                code == HardwareInterfaceSerialPort::errorNoReply)
        << std::hex << code << " " << port->getLastErrorText();
    EXPECT_EQ(port->closeInterface(), 1);
}

TEST_F(SerialPort, TwoThreadsNeverInterleaveFrames)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    // The answer comes in two halves with a gap, so an unlocked second
    // request would land between them and take the other thread's answer.
    std::atomic<bool> stop{false};
    std::vector<std::string> received;
    std::thread drive([&] {
        for (int i = 0; i < 400 && !stop; ++i) {
            const std::string line = peer->readUntil('\r', 50ms);
            if (line.empty())
                continue;
            received.push_back(line);
            peer->write("R" + line.substr(0, 2));
            std::this_thread::sleep_for(5ms);
            peer->write(line.substr(2));
        }
    });
    constexpr int rounds = 15;
    auto run = [&](char who, int& good) {
        for (int i = 0; i < rounds; ++i) {
            const std::string id = std::string(1, who) + std::to_string(10 + i);
            GenericParameters resp;
            if (port->sendMessage(request(id + "\r"), resp) == 1 && text(resp.bytes) == "R" + id + "\r")
                ++good;
        }
    };
    int goodA = 0, goodB = 0;
    std::thread a([&] { run('A', goodA); });
    run('B', goodB);
    a.join();
    stop = true;
    drive.join();
    EXPECT_EQ(goodA, rounds);
    EXPECT_EQ(goodB, rounds);
    ASSERT_EQ(received.size(), 2u * rounds);
    for (const auto& line : received)
        EXPECT_EQ(line.size(), 4u) << "interleaved request: " << line;
}

TEST_F(SerialPort, CopiesShareTheMutexButNotTheLine)
{
    ASSERT_EQ(port->openInterface(), 1) << port->getLastErrorText();
    HardwareInterfaceSerialPort copy(*port);
    EXPECT_EQ(copy.getMutex(), port->getMutex());
    EXPECT_FALSE(copy.isOpen());
    EXPECT_EQ(copy.closeInterface(), 0) << "a copy closes nothing it did not open";
    GenericParameters resp;
    EXPECT_EQ(exchange(request("#02\r"), resp, {"#02\r"}, 0ms), 1) << port->getLastErrorText();
}

TEST(SerialPortListing, ListedPortsAreClosedCopiesWithTheirPathAndNumber)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Kavrel::HardwareInterfaceList list;
    {
        kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", pair.a() + "," + pair.b());
        ASSERT_GE(HardwareInterfaceSerialPort().getAvailableInterfaces(list), 2);
    }
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0]->getNameToOpen(), pair.a());
    EXPECT_EQ(list[0]->getName(), pair.a());
    EXPECT_EQ(list[1]->getNameToOpen(), pair.b());
    EXPECT_EQ(list[0]->getNumber(), 3000u);
    EXPECT_EQ(list[1]->getNumber(), 3001u);
    // One mutex per path: two listings of a port, or a port made for the path, share it.
    HardwareInterfaceSerialPort samePath(pair.a());
    EXPECT_EQ(list[0]->getMutex(), samePath.getMutex());
    EXPECT_NE(list[0]->getMutex(), list[1]->getMutex());
    auto* first = dynamic_cast<HardwareInterfaceSerialPort*>(list[0].get());
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->isOpen());
    first->setBaudrate(19200);
    EXPECT_EQ(first->openInterface(), 1) << first->getLastErrorText();
    EXPECT_FALSE(samePath.isOpen());
}

} // namespace
