// The Modbus protocols through the real adapters against kavrel-drive-sim and
// its fault switches: over TCP with the Ethernet adapter, over RTU on a socat
// pair with the RS485 library adapter and the stand-in library. Each fault
// gives its code within the time-out, and the next request still works.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hardware/HardwareInterfaceEthernet.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "protocols/FieldbusProtocolModbusRtu.h"
#include "protocols/FieldbusProtocolModbusTcp.h"
#include "support/TestSupport.h"
#include "tools/test_drive_sim_support.h"

using namespace Kavrel;
using namespace std::chrono_literals;

namespace {

// Values of the sample drive table for drive 1.
constexpr std::uint32_t speedLimit = 100;          // 2.1
constexpr std::uint32_t signOfLife = 0x00030007;   // 1.1
constexpr std::uint32_t serialOfDrive1 = 12345601; // 1.23, stepped by the id

bool haveSimulator()
{
    return std::filesystem::exists(simtest::simBinary());
}

struct TcpDrive {
    simtest::Sim sim;
    std::shared_ptr<HardwareInterfaceEthernet> hw = std::make_shared<HardwareInterfaceEthernet>();
    FieldbusProtocolModbusTcp protocol{hw};
    explicit TcpDrive(std::vector<std::string> faults) : sim(withTcp(std::move(faults)))
    {
        GenericParameters p;
        p.setText(0, "127.0.0.1");
        p.setText(1, std::to_string(sim.port));
        hw->setParameters(p);
        hw->setReplyTimeout(300ms);
    }
    static std::vector<std::string> withTcp(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--tcp", "127.0.0.1:0"});
        return args;
    }
    ~TcpDrive() { protocol.closeInterface(); }
};

struct RtuDrive {
    kavreltest::SocatPair pair;
    simtest::Sim sim;
    std::shared_ptr<HardwareInterfaceModbusRs485Dll> hw = std::make_shared<HardwareInterfaceModbusRs485Dll>();
    FieldbusProtocolModbusRtu protocol{hw};
    explicit RtuDrive(std::vector<std::string> faults) : sim(withSerial(pair.b(), std::move(faults)))
    {
        hw->setPort(pair.a());
        hw->setBaudrate(19200);
        GenericParameters p;
        p.setText(0, "N");
        p.setText(1, "8");
        p.setText(2, "1");
        hw->setParameters(p);
    }
    static std::vector<std::string> withSerial(const std::string& path, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--serial", path, "--baud", "19200"});
        return args;
    }
    ~RtuDrive() { protocol.closeInterface(); }
};

} // namespace

TEST(ModbusSimTcp, FaultsGiveTheirCodesAndTheLinkRecovers)
{
    if (!haveSimulator())
        GTEST_SKIP() << "kavrel-drive-sim is not built";
    struct Case {
        const char* name;
        std::vector<std::string> faults;
        std::uint32_t code; // of the second of three reads of 2.1
    } cases[] = {
        {"dropped reply", {"--drop", "2"}, HardwareInterfaceEthernet::errorTimeout},
        {"exception", {"--exception-on", "2.1"}, 4}, // the diagnostic register holds the exception code
        {"short reply", {"--short-reply", "2"}, FieldbusProtocolModbusBase::errorReplyTooShort},
        {"other unit answers", {"--wrong-address"}, FieldbusProtocolModbusBase::errorWrongReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TcpDrive drive(c.faults);
        ASSERT_TRUE(drive.sim.ready);
        ASSERT_EQ(drive.protocol.openInterface(1), 1);
        std::uint32_t value = 0;
        const bool everyRequestFails = c.faults[0] == "--exception-on" || c.faults[0] == "--wrong-address";
        if (!everyRequestFails) {
            EXPECT_EQ(drive.protocol.readParameter(1, 4, 2, 1, value), 1) << drive.protocol.getLastErrorString();
            EXPECT_EQ(value, speedLimit);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(drive.protocol.readParameter(1, 4, 2, 1, value), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(drive.protocol.getLastErrorCode(), c.code) << drive.protocol.getLastErrorString();
        // Another parameter on the same connection still reads.
        EXPECT_EQ(drive.protocol.readParameter(1, 4, 1, 1, value), c.faults[0] == "--wrong-address" ? 0 : 1)
            << drive.protocol.getLastErrorString();
        if (c.faults[0] != "--wrong-address") {
            EXPECT_EQ(value, signOfLife);
        }
    }
}

TEST(ModbusSimTcp, LateReplyIsNotTakenForTheNextAnswer)
{
    if (!haveSimulator())
        GTEST_SKIP() << "kavrel-drive-sim is not built";
    TcpDrive drive({"--delay-ms", "300"});
    ASSERT_TRUE(drive.sim.ready);
    ASSERT_EQ(drive.protocol.openInterface(1), 1);
    drive.hw->setReplyTimeout(100ms);
    std::uint32_t value = 0;
    EXPECT_EQ(drive.protocol.readParameter(1, 4, 2, 1, value), 0);
    EXPECT_EQ(drive.protocol.getLastErrorCode(), HardwareInterfaceEthernet::errorTimeout);
    std::this_thread::sleep_for(400ms); // the answer for 2.1 has arrived by now
    drive.hw->setReplyTimeout(3000ms);
    ASSERT_EQ(drive.protocol.readParameter(1, 4, 1, 1, value), 1) << drive.protocol.getLastErrorString();
    EXPECT_EQ(value, signOfLife) << "the late answer for 2.1 was taken for 1.1";
}

TEST(ModbusSimTcp, ServerGoneMidSessionFailsWithCodeAndNoSignal)
{
    if (!haveSimulator())
        GTEST_SKIP() << "kavrel-drive-sim is not built";
    TcpDrive drive({});
    ASSERT_TRUE(drive.sim.ready);
    ASSERT_EQ(drive.protocol.openInterface(1), 1);
    std::uint32_t value = 0;
    ASSERT_EQ(drive.protocol.readParameter(1, 4, 2, 1, value), 1);
    drive.sim.process->stop();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(drive.protocol.writeParameter(1, 4, 2, 0, 7), 0);
        const auto code = drive.protocol.getLastErrorCode();
        EXPECT_TRUE(code == HardwareInterfaceEthernet::errorReceive || code == HardwareInterfaceEthernet::errorSend)
            << code;
    }
    // Reopening finds nobody listening.
    drive.protocol.closeInterface();
    EXPECT_NE(drive.protocol.openInterface(1), 1);
    EXPECT_EQ(drive.hw->getLastErrorCode(), HardwareInterfaceEthernet::errorConnect);
}

TEST(ModbusSimRtu, FaultsGiveTheirCodesAndTheLineRecovers)
{
    if (!haveSimulator())
        GTEST_SKIP() << "kavrel-drive-sim is not built";
    struct Case {
        const char* name;
        std::vector<std::string> faults;
        std::uint32_t code;
    } cases[] = {
        {"dropped reply", {"--drop", "2"}, HardwareInterfaceModbusRs485Dll::errorNoAnswer},
        {"corrupt crc", {"--corrupt-crc", "2"}, HardwareInterfaceModbusRs485Dll::errorCrc},
        // Cut to half with a fresh CRC, but shorter than its byte count says.
        {"short reply", {"--short-reply", "2"}, HardwareInterfaceModbusRs485Dll::errorShortReply},
        {"slow but in time", {"--delay-ms", "200"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RtuDrive drive(c.faults);
        ASSERT_TRUE(drive.pair.ok());
        ASSERT_TRUE(drive.sim.ready);
        ASSERT_EQ(drive.protocol.openInterface(1), 1) << drive.hw->getLastErrorText();
        std::uint32_t value = 0;
        EXPECT_EQ(drive.protocol.readParameter(1, 4, 2, 1, value), 1) << drive.protocol.getLastErrorString();
        EXPECT_EQ(value, speedLimit);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(drive.protocol.readParameter(1, 4, 2, 1, value), c.code == 0 ? 1 : 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(drive.protocol.getLastErrorCode(), c.code) << drive.protocol.getLastErrorString();
        EXPECT_EQ(drive.protocol.readParameter(1, 4, 1, 1, value), 1) << drive.protocol.getLastErrorString();
        EXPECT_EQ(value, signOfLife);
    }
}

TEST(ModbusSimRtu, IdentificationAndUploadFramesAreSizedByTheirContent)
{
    if (!haveSimulator())
        GTEST_SKIP() << "kavrel-drive-sim is not built";
    RtuDrive drive({});
    ASSERT_TRUE(drive.sim.ready);
    ASSERT_EQ(drive.protocol.openInterface(1), 1);
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(drive.protocol.readIdentification(1, vendor, product, version, motor, serial), 1)
        << drive.protocol.getLastErrorString();
    EXPECT_EQ(vendor, "VORLANE");
    EXPECT_EQ(product, "VDX 2040 A");
    EXPECT_EQ(version, "3.07");
    EXPECT_EQ(motor, "00004711");
    EXPECT_EQ(serial, std::to_string(serialOfDrive1));

    // Open, three blocks of different lengths, the last one flagged; then a
    // refused block after the upload was closed.
    ASSERT_EQ(drive.protocol.initUpload(1), 1) << drive.protocol.getLastErrorString();
    const std::vector<std::string> blocks = {"00112233445566778899AABBCCDDEEFF",
                                             "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF",
                                             "CAFE"};
    for (std::uint32_t packet = 1; packet <= blocks.size(); ++packet) {
        std::string data;
        std::uint32_t finished = 9;
        ASSERT_EQ(drive.protocol.getUpload(1, 256, packet, data, finished), 0) << drive.protocol.getLastErrorString();
        EXPECT_EQ(data, blocks[packet - 1]);
        EXPECT_EQ(finished, packet == blocks.size() ? 1u : 0u);
    }
    std::string data;
    std::uint32_t finished = 0;
    EXPECT_EQ(drive.protocol.getUpload(1, 256, 1, data, finished),
              static_cast<std::int32_t>(FieldbusProtocolModbusBase::errorUploadRefused));
    std::uint32_t value = 0;
    EXPECT_EQ(drive.protocol.readParameter(1, 4, 2, 1, value), 1) << "the line no longer serves";
}
