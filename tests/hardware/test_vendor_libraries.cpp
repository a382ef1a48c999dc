// Vendor libraries: loading them (name mapping, the two load attempts, the log lines, a missing entry point),
// and the Modbus RS485 adapter over our stand-in library on a pseudo-terminal, where the test plays the drive
// and checks the RTU bytes on the wire, the answer framing, CRC and time-outs.
#include <gtest/gtest.h>

#include <filesystem>

#include "HardwareTestLog.h"
#include "LinePeers.h"
#include "hardware/DllWrapper.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Kavrel::DllEntryPointMissing;
using Kavrel::DllWrapper;
using Kavrel::GenericParameters;
using Rs485 = Kavrel::HardwareInterfaceModbusRs485Dll;
namespace fs = std::filesystem;

namespace {

TEST(DllWrapper, VendorNamesMapToThisPlatform)
{
    const std::pair<const char*, const char*> libraries[] = {
        {"modbusdll.dll", "libmodbusdll.so"}, {"DNC.dll", "libDNC.so"}, {"CanApi2.DLL", "libCanApi2.so"},
        {"/opt/x/vcinpl.dll", "/opt/x/libvcinpl.so"}, {"libz.so", "libz.so"}, {"dll", "dll"}};
    for (const auto& [vendor, library] : libraries)
        EXPECT_EQ(DllWrapper::platformLibraryName(vendor), library) << vendor;
    const std::pair<const char*, const char*> exports[] = {
        {"_GetTimeout@12", "_GetTimeout"}, {"mbOpen", "mbOpen"}, {"f@", "f@"}, {"@12", "@12"}, {"g@1x", "g@1x"}};
    for (const auto& [vendor, name] : exports)
        EXPECT_EQ(DllWrapper::platformExportName(vendor), name) << vendor;
}

TEST(DllWrapper, LoadsFromTheFolderThenTheSearchPathAndResolvesPlainAndDecoratedNames)
{
    auto& log = kavreltest::LogLines::instance();
    log.clear();
    DllWrapper dll("testlib_tiny.dll", KAVREL_TEST_LIB_DIR);
    ASSERT_TRUE(dll.isLoaded());
    EXPECT_EQ(dll.getPath(), std::string(KAVREL_TEST_LIB_DIR) + "/libtestlib_tiny.so");
    EXPECT_TRUE(log.contains("Opened " + dll.getPath()) && log.contains("DllWrapper(" + dll.getPath() + ")"));
    EXPECT_EQ(dll.getFunction<int (*)(int, int)>("tiny_add")(40, 2), 42);
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(dll.getFunction<int (*)(int*, int*, int*)>("_TinyTimeout@12")(&a, &b, &c), 0);
    EXPECT_EQ(a + b + c, 6);
    EXPECT_TRUE(log.contains("getFunction(_TinyTimeout@12)"));
    try {
        dll.getFunction("mbOpen");
        FAIL() << "a missing entry point must throw";
    } catch (const DllEntryPointMissing& e) {
        EXPECT_NE(std::string(e.what()).find("mbOpen"), std::string::npos) << e.what();
    }
    // Not in the folder given, but on the system's library path (libmodbus is
    // a build dependency, so its development link is there).
    kavreltest::TempDir empty;
    DllWrapper found("modbus.dll", empty.path().string());
    ASSERT_TRUE(found.isLoaded());
    EXPECT_TRUE(found.getPath()[0] == '/' && found.getPath().find("libmodbus.so") != std::string::npos) << found.getPath();
    EXPECT_NO_THROW(found.getFunction("modbus_new_tcp"));
    log.clear();
    for (const std::string& folder : {empty.path().string(), std::string()}) {
        DllWrapper dll("NoSuchVendor.dll", folder);
        EXPECT_FALSE(dll.isLoaded());
        EXPECT_THROW(dll.getFunction("anything"), DllEntryPointMissing);
    }
    EXPECT_TRUE(log.contains("FATAL: DllWrapper: Could not open 'NoSuchVendor.dll'"));
}

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
    crc ^= corrupt ? 0x0101 : 0;
    return bytes + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

GenericParameters format(const std::string& parity, const std::string& stopBits)
{
    return kavreltest::texts({{0, parity}, {1, "8"}, {2, stopBits}});
}

struct Line {
    kavreltest::PtyPeer drive;
    Rs485 hw;
    Line()
    {
        hw.setPort(drive.path());
        hw.setBaudrate(19200);
        hw.setParameters(format("E", "1"));
    }
    ~Line() { hw.closeInterface(); }
};

TEST(ModbusRs485Dll, LoadsTheStandInFromTheModuleFolderAndListsThePortsAsCopiesSharingIt)
{
    Rs485 hw;
    ASSERT_TRUE(hw.getLibrary()->isLoaded());
    EXPECT_TRUE(fs::equivalent(hw.getLibrary()->getPath(), fs::path(kavreltest::libDir()) / "libmodbusdll.so"))
        << hw.getLibrary()->getPath();
    // A library of that name that is not the Modbus library.
    kavreltest::TempDir dir;
    fs::copy_file(fs::path(KAVREL_TEST_LIB_DIR) / "libtestlib_tiny.so", dir.path() / "libmodbusdll.so");
    EXPECT_THROW(Rs485{dir.path().string()}, DllEntryPointMissing);
    // The serial ports are listed as closed copies sharing library and mutex.
    kavreltest::PtyPeer port;
    Kavrel::HardwareInterfaceList list;
    kavreltest::ScopedEnv env("KAVREL_SERIAL_PORTS", port.path());
    const std::int32_t listed = hw.getAvailableInterfaces(list);
    EXPECT_EQ(listed, static_cast<std::int32_t>(list.size()));
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0]->getNameToOpen() + "|" + list[0]->getName(), port.path() + "|" + port.path());
    for (const auto& entry : list) {
        auto* copy = dynamic_cast<Rs485*>(entry.get());
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->getLibrary(), hw.getLibrary());
        EXPECT_EQ(copy->getMutex(), hw.getMutex());
        EXPECT_FALSE(copy->isOpen());
    }
}

TEST(ModbusRs485Dll, OpenRefusesBadFormatsAndSetsTheTimeouts)
{
    Line line;
    ASSERT_TRUE(line.drive.ok());
    auto& log = kavreltest::LogLines::instance();
    const struct { const char *parity, *stopBits, *fatal; } bad[] = {{"X", "1", "Parity error"}, {"", "1", "Parity error"}, {"E", "3", "Stopbits error"},
               {"N", "", "Stopbits error"}};
    for (const auto& c : bad) {
        log.clear();
        line.hw.setParameters(format(c.parity, c.stopBits));
        EXPECT_EQ(line.hw.openInterface(), 0) << c.parity << "," << c.stopBits;
        EXPECT_TRUE(log.contains(std::string("FATAL: HardwareInterfaceModbusRs485Dll: ") + c.fatal));
        EXPECT_FALSE(line.hw.isOpen());
    }
    // Stand-in time-outs before and after: the first is kept, the others set.
    DllWrapper same("modbusdll.dll", kavreltest::libDir());
    same.getFunction<int (*)(int, int, int)>("SetTimeout")(42, 5000, 4000);
    log.clear();
    line.hw.setParameters(format("E", "1"));
    ASSERT_EQ(line.hw.openInterface(), 1) << line.hw.getLastErrorText();
    EXPECT_TRUE(log.contains("Parity: E") && log.contains("StopBits: 1"));
    int a = 0, b = 0, c = 0;
    ASSERT_EQ(same.getFunction<int (*)(int*, int*, int*)>("_GetTimeout@12")(&a, &b, &c), 0);
    EXPECT_EQ(std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c), "42,750,500");
    EXPECT_EQ(line.hw.closeInterface(), 1);
    EXPECT_EQ(line.hw.closeInterface(), 0) << "closing twice";

    Rs485 missing;
    missing.setPort("/nonexistent/ttyX");
    missing.setParameters(format("N", "1"));
    missing.setBaudrate(19200);
    EXPECT_EQ(missing.openInterface(), 0);
    EXPECT_EQ(missing.getLastErrorCode(), Rs485::errorOpen);
    GenericParameters request, response;
    request.setBytes("010300000002");
    EXPECT_EQ(missing.sendMessage(request, response), 0);
    EXPECT_EQ(missing.getLastErrorCode(), Rs485::errorOpen);
}

TEST(ModbusRs485Dll, AnswersAreFramedByFunctionCodeAndChecked)
{
    // The hex text the protocol hands over; the answer bytes (hex) in pieces, CRC added to the last; stale bytes
    // on the line before the request; the code, or 0 for success with the answer.
    const struct { const char *name, *request; std::vector<std::string> pieces; bool corruptCrc, junkBefore;
                   std::uint32_t code; const char* answer; } cases[] = {
        {"read", "0103010A0002", {"0103041234ABCD"}, false, false, 0, "0103041234ABCD"},
        {"read in pieces", "0103010A0002", {"01", "0304", "1234AB", "CD"}, false, false, 0, "0103041234ABCD"},
        {"write", "01100200000204B3B2B1B0", {"011002000002"}, false, false, 0, "011002000002"},
        {"exception", "0103FFFE0002", {"018302"}, false, false, 0, "018302"},
        {"diagnostics", "010800020000", {"01080002", "1200"}, false, false, 0, "010800021200"},
        {"identification", "012B0E0100", {"012B0E0101000003", "0003414243", "010158", "02023130"}, false, false, 0,
         "012B0E0101000003000341424301015802023130"},
        {"upload open", "015A0000335652322E00000020", {"015A0000FE0100"}, false, false, 0, "015A0000FE0100"},
        {"upload block", "015A00003401000001", {"015A0000FE00010003", "AABBCC"}, false, false, 0,
         "015A0000FE00010003AABBCC"},
        {"upload refused", "015A00003401000009", {"015A000001"}, false, false, 0, "015A000001"},
        {"stale bytes dropped", "0103010A0002", {"0103040000002A"}, false, true, 0, "0103040000002A"},
        {"wrong crc", "0103010A0002", {"0103041234ABCD"}, true, false, Rs485::errorCrc, ""},
        {"cut short", "0103010A0002", {"01030412"}, false, false, Rs485::errorShortReply, ""},
        {"no answer", "0103010A0002", {}, false, false, Rs485::errorNoAnswer, ""},
        {"not hex text", "0103XY", {}, false, false, Rs485::errorNoAnswer, ""},
    };
    Line line;
    ASSERT_TRUE(line.drive.ok());
    ASSERT_EQ(line.hw.openInterface(), 1) << line.hw.getLastErrorText();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.junkBefore) {
            line.drive.write("\xFF\x01\x03");
            std::this_thread::sleep_for(50ms);
        }
        const bool malformed = std::string(c.request).find_first_not_of("0123456789ABCDEF") != std::string::npos;
        const std::string wire = malformed ? std::string() : withCrc(bytesOf(c.request));
        std::string received;
        std::thread peer([&] {
            received = line.drive.readFor(malformed ? 300ms : 2000ms, std::max<std::size_t>(wire.size(), 1));
            std::string all;
            for (const auto& p : c.pieces)
                all += bytesOf(p);
            const std::string framed = c.pieces.empty() ? "" : withCrc(all, c.corruptCrc);
            for (std::size_t i = 0, at = 0; i < c.pieces.size(); ++i) {
                const std::size_t n = c.pieces[i].size() / 2 + (i + 1 == c.pieces.size() ? 2 : 0);
                line.drive.write(framed.substr(at, n));
                at += n;
                std::this_thread::sleep_for(30ms);
            }
        });
        GenericParameters request, response;
        request.setBytes(c.request);
        const std::int32_t result = line.hw.sendMessage(request, response);
        peer.join();
        EXPECT_EQ(received, wire) << "wrong bytes on the wire";
        EXPECT_EQ(result, c.code ? 0 : 1) << line.hw.getLastErrorText();
        EXPECT_EQ(response.bytesAsText(), c.answer);
        EXPECT_EQ(line.hw.getLastErrorCode(), c.code) << line.hw.getLastErrorText();
        EXPECT_NE(line.hw.getLastErrorText().empty(), c.code != 0);
        line.drive.readFor(20ms); // nothing may be left for the next case
    }
}

} // namespace
