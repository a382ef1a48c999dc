// The Modbus RS485 adapter over our stand-in library, on a socat
// pseudo-terminal pair: the test plays the drive on the far end and checks
// the RTU bytes on the wire, the answer framing, CRC and time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "HardwareTestLog.h"
#include "hardware/DllWrapper.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Kavrel::GenericParameters;
using Kavrel::HardwareInterfaceList;
using Kavrel::HardwareInterfaceModbusRs485Dll;
namespace fs = std::filesystem;

namespace {

std::string bytesOf(const std::string& hexText)
{
    std::string b;
    for (std::size_t i = 0; i + 1 < hexText.size(); i += 2)
        b.push_back(static_cast<char>(std::stoi(hexText.substr(i, 2), nullptr, 16)));
    return b;
}

// Modbus CRC-16 (polynomial 0xA001 reflected), low byte first on the wire.
std::string withCrc(const std::string& bytes, bool corrupt = false)
{
    unsigned crc = 0xFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    if (corrupt)
        crc ^= 0x0101;
    return bytes + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

GenericParameters format(const std::string& parity, const std::string& dataBits, const std::string& stopBits)
{
    GenericParameters p;
    p.setText(0, parity);
    p.setText(1, dataBits);
    p.setText(2, stopBits);
    return p;
}

struct Line {
    kavreltest::SocatPair pair;
    HardwareInterfaceModbusRs485Dll hw;
    Line()
    {
        hw.setPort(pair.a());
        hw.setBaudrate(19200);
        hw.setParameters(format("E", "8", "1"));
    }
    ~Line() { hw.closeInterface(); }
};

} // namespace

TEST(ModbusRs485Dll, LoadsTheStandInFromTheModuleFolder)
{
    HardwareInterfaceModbusRs485Dll hw;
    ASSERT_TRUE(hw.getLibrary()->isLoaded());
    EXPECT_TRUE(fs::equivalent(hw.getLibrary()->getPath(), fs::path(kavreltest::libDir()) / "libmodbusdll.so"))
        << hw.getLibrary()->getPath();
}

TEST(ModbusRs485Dll, LibraryWithoutTheEntryPointsCannotBeUsed)
{
    // A library of that name that is not the Modbus library.
    kavreltest::TempDir dir;
    fs::copy_file(fs::path(KAVREL_TEST_LIB_DIR) / "libtestlib_tiny.so", dir.path() / "libmodbusdll.so");
    EXPECT_THROW(HardwareInterfaceModbusRs485Dll{dir.path().string()}, Kavrel::DllEntryPointMissing);
}

TEST(ModbusRs485Dll, ListsTheSerialPortsAsCopiesSharingLibraryAndMutex)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    ::setenv("KAVREL_SERIAL_PORTS", pair.a().c_str(), 1);
    HardwareInterfaceModbusRs485Dll hw;
    HardwareInterfaceList list;
    const std::int32_t result = hw.getAvailableInterfaces(list);
    ::unsetenv("KAVREL_SERIAL_PORTS");
    EXPECT_EQ(result, static_cast<std::int32_t>(list.size()));
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0]->getNameToOpen(), pair.a());
    EXPECT_EQ(list[0]->getName(), pair.a());
    for (const auto& entry : list) {
        auto* copy = dynamic_cast<HardwareInterfaceModbusRs485Dll*>(entry.get());
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->getLibrary(), hw.getLibrary());
        EXPECT_EQ(copy->getMutex(), hw.getMutex());
        EXPECT_FALSE(copy->isOpen());
    }
}

TEST(ModbusRs485Dll, OpenRefusesBadFormatsAndSetsTheTimeouts)
{
    Line line;
    ASSERT_TRUE(line.pair.ok());
    auto& log = kavreltest::LogLines::instance();
    struct Case {
        const char* parity;
        const char* stopBits;
        const char* fatal;
    } bad[] = {{"X", "1", "Parity error"}, {"", "1", "Parity error"}, {"E", "3", "Stopbits error"},
               {"N", "", "Stopbits error"}};
    for (const auto& c : bad) {
        log.clear();
        line.hw.setParameters(format(c.parity, "8", c.stopBits));
        EXPECT_EQ(line.hw.openInterface(), 0) << c.parity << "," << c.stopBits;
        EXPECT_TRUE(log.contains(std::string("FATAL: HardwareInterfaceModbusRs485Dll: ") + c.fatal)) << log.all();
        EXPECT_FALSE(line.hw.isOpen());
    }

    // Stand-in time-outs before and after: the first is kept, the others set.
    Kavrel::DllWrapper same("modbusdll.dll", kavreltest::libDir());
    auto setTimeout = same.getFunction<int (*)(int, int, int)>("SetTimeout");
    auto getTimeout = same.getFunction<int (*)(int*, int*, int*)>("_GetTimeout@12");
    setTimeout(42, 5000, 4000);
    log.clear();
    line.hw.setParameters(format("E", "8", "1"));
    ASSERT_EQ(line.hw.openInterface(), 1) << line.hw.getLastErrorText();
    EXPECT_TRUE(log.contains("Parity: E"));
    EXPECT_TRUE(log.contains("StopBits: 1"));
    int a = 0, b = 0, c = 0;
    ASSERT_EQ(getTimeout(&a, &b, &c), 0);
    EXPECT_EQ(a, 42);
    EXPECT_EQ(b, 750);
    EXPECT_EQ(c, 500);
    EXPECT_EQ(line.hw.closeInterface(), 1);
    EXPECT_EQ(line.hw.closeInterface(), 0) << "closing twice";

    HardwareInterfaceModbusRs485Dll missing;
    missing.setPort("/nonexistent/ttyX");
    missing.setParameters(format("N", "8", "1"));
    missing.setBaudrate(19200);
    EXPECT_EQ(missing.openInterface(), 0);
    EXPECT_EQ(missing.getLastErrorCode(), HardwareInterfaceModbusRs485Dll::errorOpen);
    GenericParameters request, response;
    request.setBytes("010300000002");
    EXPECT_EQ(missing.sendMessage(request, response), 0);
    EXPECT_EQ(missing.getLastErrorCode(), HardwareInterfaceModbusRs485Dll::errorOpen);
}

TEST(ModbusRs485Dll, AnswersAreFramedByFunctionCodeAndChecked)
{
    struct Case {
        const char* name;
        const char* request;             // hex text the protocol hands over
        std::vector<std::string> pieces; // answer bytes (hex) in pieces, CRC added to the last
        bool corruptCrc;
        std::uint32_t code; // 0: success with the answer below
        const char* answer;
        bool junkBefore; // stale bytes on the line before the request
    } cases[] = {
        {"read", "0103010A0002", {"0103041234ABCD"}, false, 0, "0103041234ABCD", false},
        {"read in pieces", "0103010A0002", {"01", "0304", "1234AB", "CD"}, false, 0, "0103041234ABCD", false},
        {"write", "01100200000204B3B2B1B0", {"011002000002"}, false, 0, "011002000002", false},
        {"exception", "0103FFFE0002", {"018302"}, false, 0, "018302", false},
        {"diagnostics", "010800020000", {"01080002", "1200"}, false, 0, "010800021200", false},
        {"identification",
         "012B0E0100",
         {"012B0E0101000003", "0003414243", "010158", "02023130"},
         false,
         0,
         "012B0E0101000003000341424301015802023130",
         false},
        {"upload open", "015A0000335652322E00000020", {"015A0000FE0100"}, false, 0, "015A0000FE0100", false},
        {"upload block", "015A00003401000001", {"015A0000FE00010003", "AABBCC"}, false, 0,
         "015A0000FE00010003AABBCC", false},
        {"upload refused", "015A00003401000009", {"015A000001"}, false, 0, "015A000001", false},
        {"stale bytes dropped", "0103010A0002", {"0103040000002A"}, false, 0, "0103040000002A", true},
        {"wrong crc", "0103010A0002", {"0103041234ABCD"}, true, HardwareInterfaceModbusRs485Dll::errorCrc, "", false},
        {"cut short", "0103010A0002", {"01030412"}, false, HardwareInterfaceModbusRs485Dll::errorShortReply, "",
         false},
        {"no answer", "0103010A0002", {}, false, HardwareInterfaceModbusRs485Dll::errorNoAnswer, "", false},
        {"not hex text", "0103XY", {}, false, HardwareInterfaceModbusRs485Dll::errorNoAnswer, "", false},
    };
    Line line;
    ASSERT_TRUE(line.pair.ok());
    kavreltest::RawPort drive(line.pair.b());
    ASSERT_TRUE(drive.ok());
    ASSERT_EQ(line.hw.openInterface(), 1) << line.hw.getLastErrorText();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expectedAnswer = c.answer;
        if (c.junkBefore) {
            drive.write("\xFF\x01\x03");
            std::this_thread::sleep_for(50ms);
        }
        std::string received;
        std::thread peer([&] {
            if (std::string(c.request).find_first_not_of("0123456789ABCDEF") != std::string::npos) {
                received = drive.readFor(300ms); // nothing may go out
                return;
            }
            const std::string wire = withCrc(bytesOf(c.request));
            received = drive.readFor(2000ms, wire.size());
            if (c.pieces.empty())
                return;
            std::string all;
            for (const auto& p : c.pieces)
                all += bytesOf(p);
            const std::string framed = withCrc(all, c.corruptCrc);
            std::size_t at = 0;
            for (std::size_t i = 0; i < c.pieces.size(); ++i) {
                std::size_t n = c.pieces[i].size() / 2 + (i + 1 == c.pieces.size() ? 2 : 0);
                drive.write(framed.substr(at, n));
                at += n;
                std::this_thread::sleep_for(30ms);
            }
        });
        GenericParameters request, response;
        request.setBytes(c.request);
        const std::int32_t result = line.hw.sendMessage(request, response);
        peer.join();
        const bool malformed = std::string(c.request).find_first_not_of("0123456789ABCDEF") != std::string::npos;
        EXPECT_EQ(received, malformed ? std::string() : withCrc(bytesOf(c.request))) << "wrong bytes on the wire";
        if (c.code == 0) {
            EXPECT_EQ(result, 1) << line.hw.getLastErrorText();
            EXPECT_EQ(response.bytesAsText(), expectedAnswer);
            EXPECT_EQ(line.hw.getLastErrorCode(), 0u);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(line.hw.getLastErrorCode(), c.code) << line.hw.getLastErrorText();
            EXPECT_FALSE(line.hw.getLastErrorText().empty());
        }
        drive.readFor(20ms); // nothing may be left for the next case
    }
}
