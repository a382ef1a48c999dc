// The Modbus protocols against an independent server (pymodbus): TCP on
// 127.0.0.1, and RTU through the Modbus RS485 library adapter and our
// stand-in library on a socat pseudo-terminal pair. Register contents are
// checked past the protocol under test: with libmodbus over TCP, with the
// library's own register call over RTU.
#include <gtest/gtest.h>
#include <modbus.h>
#include "hardware/DllWrapper.h"
#include "hardware/HardwareInterfaceEthernet.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "protocols/FieldbusProtocolModbusRtu.h"
#include "protocols/FieldbusProtocolModbusTcp.h"
#include "support/TestSupport.h"
#include "../hardware/LinePeers.h"

using namespace Kavrel;
using namespace std::chrono_literals;
using Registers = std::vector<std::uint16_t>;

namespace {

// Set in pymodbus_server.py: diagnostic bits 1 and 4, identification texts,
// motor type 5.13 and serial number 1.23.
constexpr std::uint32_t serverDiagnosticRegister = 0x1200;

struct PymodbusServer {
    explicit PymodbusServer(const std::string& mode, const std::string& where)
        : process({"/usr/bin/python3", kavreltest::sourceDir() + "/tests/protocols/pymodbus_server.py", mode, where,
                   "--lifetime", "90"})
    {
    }
    ~PymodbusServer() { process.stop(); }
    kavreltest::ChildProcess process;
    bool ready = process.readLine(15s) == "READY";
};

// Both servers for the suite: starting Python costs more than the tests.
struct Servers {
    int port = kavreltest::freeTcpPort();
    PymodbusServer tcp{"--tcp", std::to_string(port)};
    kavreltest::SocatPair pair;
    PymodbusServer rtu{"--serial", pair.b()};
};

class ModbusPymodbus : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() { servers = new Servers; }
    static void TearDownTestSuite() { delete std::exchange(servers, nullptr); }
    void SetUp() override
    {
        ASSERT_TRUE(servers->tcp.ready && servers->rtu.ready && servers->pair.ok()) << "pymodbus did not start";
        if (rtu) {
            auto line = std::make_shared<HardwareInterfaceModbusRs485Dll>();
            line->setPort(servers->pair.a());
            // The stand-in drops parity on a pseudo-terminal.
            line->setParameters(kavreltest::texts({{0, "E"}, {1, "8"}, {2, "1"}}));
            line->setBaudrate(19200);
            protocol = std::make_unique<FieldbusProtocolModbusRtu>(hw = line);
        } else {
            hw = std::make_shared<HardwareInterfaceEthernet>();
            hw->setParameters(kavreltest::texts({{0, "127.0.0.1"}, {1, std::to_string(servers->port)}}));
            protocol = std::make_unique<FieldbusProtocolModbusTcp>(hw);
        }
        ASSERT_EQ(protocol->openInterface(1), 1) << hw->getLastErrorText();
    }
    void TearDown() override { protocol->closeInterface(); }

    Registers registers(int address, int count)
    {
        Registers values(static_cast<std::size_t>(count), 0xFFFF);
        if (rtu) {
            auto read = library.getFunction<int (*)(int, int, int, unsigned short*)>("mbReadObj");
            return read(1, address, count, values.data()) == 0 ? values : Registers{};
        }
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", servers->port);
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 2, 0);
        const bool ok = modbus_connect(ctx) == 0 && modbus_read_registers(ctx, address, count, values.data()) == count;
        modbus_close(ctx);
        modbus_free(ctx);
        return ok ? values : Registers{};
    }

    static Servers* servers;
    const bool rtu = std::string(GetParam()) == "RTU";
    DllWrapper library{"modbusdll.dll", kavreltest::libDir()};
    std::shared_ptr<HardwareInterface> hw;
    std::unique_ptr<FieldbusProtocol> protocol;
};

Servers* ModbusPymodbus::servers = nullptr;

TEST_P(ModbusPymodbus, ParametersLandOnTheirRegistersHighWordFirstAndIdentification)
{
    FieldbusProtocol& p = *protocol;
    std::uint32_t value = 0;
    ASSERT_EQ(p.readParameter(1, 4, 5, 13, value), 1) << p.getLastErrorString();
    EXPECT_EQ(value, 0x0012D687u);
    const struct {
        std::uint16_t index, subindex;
        std::uint32_t value;
    } cases[] = {{0, 0, 0x00000001}, {1, 5, 0x1234ABCD}, {2, 0, 0xB3B2B1B0}, {31, 127, 0xFFFF0000}};
    for (const auto& c : cases) {
        ASSERT_EQ(p.writeParameter(1, 4, c.index, c.subindex, c.value), 1) << p.getLastErrorString();
        const Registers words{static_cast<std::uint16_t>(c.value >> 16), static_cast<std::uint16_t>(c.value)};
        EXPECT_EQ(registers((c.index * 128 + c.subindex) * 2, 2), words) << c.index << "." << c.subindex;
        ASSERT_EQ(p.readParameter(1, 4, c.index, c.subindex, value), 1);
        EXPECT_EQ(value, c.value);
    }
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(p.readIdentification(1, vendor, product, version, motor, serial), 1) << p.getLastErrorString();
    EXPECT_EQ(vendor + "|" + product + "|" + version + "|" + motor + "|" + serial,
              "Kavrel Test Drives|KTD-4711|3.14|01234567|87654321");
    // Raw data with an odd count is padded.
    std::vector<std::uint8_t> data{0xAA, 0xBB, 0xCC};
    ASSERT_EQ(p.sendData(1, 3, 0, data, 3), 1) << p.getLastErrorString();
    EXPECT_EQ(registers(768, 2), (Registers{0xAABB, 0xCC00}));
    std::string digits;
    ASSERT_EQ(p.readData(1, 3, 0, digits, 8), 1);
    EXPECT_EQ(digits, "AABBCC00");
}

TEST_P(ModbusPymodbus, RefusedAccessReadsTheDiagnosticRegisterAndTheLineStillServes)
{
    auto& p = dynamic_cast<FieldbusProtocolModbusBase&>(*protocol);
    // 129.3 lies beyond the server's registers: the selector poke lands, the
    // read is refused with the diagnostic register as its code.
    std::uint32_t value = 0;
    EXPECT_EQ(p.readParameter(1, 4, 129, 3, value), 0);
    EXPECT_EQ(p.getLastErrorCode(), serverDiagnosticRegister);
    EXPECT_EQ(registers((22 * 128 + 10) * 2, 2), (Registers{3, 129}));
    ASSERT_EQ(p.readDiagnostics(1, value), 1);
    EXPECT_EQ(value, serverDiagnosticRegister);
    EXPECT_EQ(p.writeParameter(1, 4, 256, 0, 1), 0);
    EXPECT_EQ(p.getLastErrorCode(), FieldbusProtocolModbusBase::errorAddressRange);
    if (rtu) {
        // Nobody answers for unit 9: the library's reply time-out ends the wait.
        EXPECT_EQ(p.readParameter(9, 4, 1, 0, value), 0);
        EXPECT_EQ(p.getLastErrorCode(), HardwareInterfaceModbusRs485Dll::errorNoAnswer);
    }
    EXPECT_EQ(p.readParameter(1, 4, 1, 23, value), 1) << "the line no longer serves";
    EXPECT_EQ(value, 87654321u);
}

INSTANTIATE_TEST_SUITE_P(Framings, ModbusPymodbus, ::testing::Values("TCP", "RTU"));

} // namespace
