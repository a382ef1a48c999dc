// The Modbus protocols against an independent server (pymodbus), over real
// TCP on 127.0.0.1; register contents are checked with libmodbus.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <modbus.h>
#include "support/TestSupport.h"
#include "protocols/FieldbusProtocolModbusTcp.h"

#include "hardware/HardwareInterfaceEthernet.h"

using namespace Kavrel;
using namespace std::chrono_literals;

namespace {

// Set in pymodbus_server.py: diagnostic bits 1 and 4, identification texts,
// motor type 5.13 and serial number 1.23.
constexpr std::uint32_t serverDiagnosticRegister = 0x1200;

struct PymodbusServer {
    int port = kavreltest::freeTcpPort();
    kavreltest::ChildProcess process{{"/usr/bin/python3",
                                      kavreltest::sourceDir() + "/tests/protocols/pymodbus_server.py", "--tcp",
                                      std::to_string(port), "--lifetime", "60"}};
    bool ready = process.readLine(15s) == "READY";
    ~PymodbusServer() { process.stop(); }
};

// Reads holding registers with libmodbus, independent of the protocol under test.
std::vector<std::uint16_t> readRegisters(int port, int address, int count)
{
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count), 0xFFFF);
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx)
        return {};
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 2, 0);
    bool ok = modbus_connect(ctx) == 0 && modbus_read_registers(ctx, address, count, values.data()) == count;
    modbus_close(ctx);
    modbus_free(ctx);
    return ok ? values : std::vector<std::uint16_t>{};
}

using Registers = std::function<std::vector<std::uint16_t>(int address, int count)>;

// Each value lands on its two registers, high word first, and reads back;
// then the identification objects and the generic parameters.
void checkParametersAndIdentification(FieldbusProtocol& p, const Registers& registers)
{
    struct Case {
        std::uint16_t index, subindex;
        std::uint32_t value;
    } cases[] = {{0, 0, 0x00000001}, {1, 5, 0x1234ABCD}, {2, 0, 0xB3B2B1B0}, {31, 127, 0xFFFF0000}};
    for (const auto& c : cases) {
        ASSERT_EQ(p.writeParameter(1, 4, c.index, c.subindex, c.value), 1) << p.getLastErrorString();
        auto regs = registers((c.index * 128 + c.subindex) * 2, 2);
        ASSERT_EQ(regs.size(), 2u);
        EXPECT_EQ(regs[0], c.value >> 16) << c.index << "." << c.subindex;
        EXPECT_EQ(regs[1], c.value & 0xFFFF) << c.index << "." << c.subindex;
        std::uint32_t back = 0;
        ASSERT_EQ(p.readParameter(1, 4, c.index, c.subindex, back), 1);
        EXPECT_EQ(back, c.value);
    }
    std::string vendor, product, version, motor, serial;
    ASSERT_EQ(p.readIdentification(1, vendor, product, version, motor, serial), 1) << p.getLastErrorString();
    EXPECT_EQ(vendor + "|" + product + "|" + version + "|" + motor + "|" + serial,
              "Kavrel Test Drives|KTD-4711|3.14|01234567|87654321");
}

// 129.3 lies beyond the server's registers: the selector poke lands, the read
// is refused with the diagnostic register as its code.
void checkRefusalPokesAndReadsTheDiagnosticRegister(FieldbusProtocol& p, const Registers& registers)
{
    std::uint32_t value = 0;
    EXPECT_EQ(p.readParameter(1, 4, 129, 3, value), 0);
    EXPECT_EQ(p.getLastErrorCode(), serverDiagnosticRegister);
    EXPECT_EQ(registers((22 * 128 + 10) * 2, 2), (std::vector<std::uint16_t>{3, 129}));
}

} // namespace

class ModbusTcpPymodbus : public ::testing::Test {
protected:
    // One server for the suite: starting Python costs more than the tests.
    static void SetUpTestSuite() { shared = new PymodbusServer; }
    static void TearDownTestSuite()
    {
        delete shared;
        shared = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(server.ready) << "pymodbus server did not start";
        GenericParameters p;
        p.setText(0, "127.0.0.1");
        p.setText(1, std::to_string(server.port));
        hw->setParameters(p);
        ASSERT_EQ(tcp.openInterface(1), 1);
    }
    void TearDown() override { tcp.closeInterface(); }

    static PymodbusServer* shared;
    PymodbusServer& server = *shared;
    std::shared_ptr<HardwareInterfaceEthernet> hw = std::make_shared<HardwareInterfaceEthernet>();
    FieldbusProtocolModbusTcp tcp{hw};
};

PymodbusServer* ModbusTcpPymodbus::shared = nullptr;

TEST_F(ModbusTcpPymodbus, ParametersLandOnTheirRegistersHighWordFirstAndIdentification)
{
    checkParametersAndIdentification(tcp, [&](int a, int n) { return readRegisters(server.port, a, n); });
}

TEST_F(ModbusTcpPymodbus, RawDataWithOddCountIsPadded)
{
    std::vector<std::uint8_t> data{0xAA, 0xBB, 0xCC};
    ASSERT_EQ(tcp.sendData(1, 3, 0, data, 3), 1);
    auto regs = readRegisters(server.port, 768, 2);
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0], 0xAABB);
    EXPECT_EQ(regs[1], 0xCC00);
    std::string digits;
    ASSERT_EQ(tcp.readData(1, 3, 0, digits, 8), 1);
    EXPECT_EQ(digits, "AABBCC00");
}

TEST_F(ModbusTcpPymodbus, RefusedAccessReadsDiagnosticRegisterAfterPoke)
{
    checkRefusalPokesAndReadsTheDiagnosticRegister(tcp, [&](int a, int n) { return readRegisters(server.port, a, n); });

    std::uint32_t diagnostic = 0;
    ASSERT_EQ(tcp.readDiagnostics(1, diagnostic), 1);
    EXPECT_EQ(diagnostic, serverDiagnosticRegister);

    EXPECT_EQ(tcp.writeParameter(1, 4, 256, 0, 1), 0);
    EXPECT_EQ(tcp.getLastErrorCode(), FieldbusProtocolModbusBase::errorAddressRange);
    // The connection still serves after the failures.
    std::uint32_t value = 0;
    EXPECT_EQ(tcp.readParameter(1, 4, 1, 23, value), 1);
    EXPECT_EQ(value, 87654321u);
}

// The same drive over Modbus RTU: the protocol through the Modbus RS485
// library adapter and our stand-in library, on a socat pseudo-terminal pair
// whose far end pymodbus serves.
#include "hardware/DllWrapper.h"
#include "hardware/HardwareInterfaceModbusRs485Dll.h"
#include "protocols/FieldbusProtocolModbusRtu.h"

namespace {

struct PymodbusRtuServer {
    kavreltest::SocatPair pair;
    kavreltest::ChildProcess process{{"/usr/bin/python3",
                                      kavreltest::sourceDir() + "/tests/protocols/pymodbus_server.py", "--serial",
                                      pair.b(), "--lifetime", "60"}};
    bool ready = pair.ok() && process.readLine(15s) == "READY";
    ~PymodbusRtuServer() { process.stop(); }
};

} // namespace

class ModbusRtuPymodbus : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared = new PymodbusRtuServer; }
    static void TearDownTestSuite()
    {
        delete shared;
        shared = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(server.ready) << "pymodbus serial server did not start";
        hw->setPort(server.pair.a());
        GenericParameters p;
        p.setText(0, "E"); // the stand-in drops parity on a pseudo-terminal
        p.setText(1, "8");
        p.setText(2, "1");
        hw->setParameters(p);
        hw->setBaudrate(19200);
        ASSERT_EQ(rtu.openInterface(1), 1) << hw->getLastErrorText();
    }
    void TearDown() override { rtu.closeInterface(); }

    // Holding registers read by the library's own register call, which does
    // not go through the protocol's request building.
    std::vector<std::uint16_t> registers(int address, int count)
    {
        auto read = library.getFunction<int (*)(int, int, int, unsigned short*)>("mbReadObj");
        std::vector<std::uint16_t> values(static_cast<std::size_t>(count), 0xFFFF);
        return read(1, address, count, values.data()) == 0 ? values : std::vector<std::uint16_t>{};
    }

    static PymodbusRtuServer* shared;
    PymodbusRtuServer& server = *shared;
    std::shared_ptr<HardwareInterfaceModbusRs485Dll> hw = std::make_shared<HardwareInterfaceModbusRs485Dll>();
    FieldbusProtocolModbusRtu rtu{hw};
    DllWrapper library{"modbusdll.dll", kavreltest::libDir()};
};

PymodbusRtuServer* ModbusRtuPymodbus::shared = nullptr;

TEST_F(ModbusRtuPymodbus, ParametersLandOnTheirRegistersHighWordFirstAndIdentification)
{
    std::uint32_t value = 0;
    ASSERT_EQ(rtu.readParameter(1, 4, 5, 13, value), 1) << rtu.getLastErrorString();
    EXPECT_EQ(value, 0x0012D687u);
    checkParametersAndIdentification(rtu, [&](int a, int n) { return registers(a, n); });
}

TEST_F(ModbusRtuPymodbus, RefusedAccessReadsDiagnosticRegisterAndOtherUnitsTimeOut)
{
    checkRefusalPokesAndReadsTheDiagnosticRegister(rtu, [&](int a, int n) { return registers(a, n); });
    std::uint32_t value = 0;

    // Nobody answers for unit 9: the library's reply time-out ends the wait.
    EXPECT_EQ(rtu.readParameter(9, 4, 1, 0, value), 0);
    EXPECT_EQ(rtu.getLastErrorCode(), HardwareInterfaceModbusRs485Dll::errorNoAnswer);
    EXPECT_EQ(rtu.readParameter(1, 4, 1, 23, value), 1) << "the line no longer serves";
    EXPECT_EQ(value, 87654321u);
}
