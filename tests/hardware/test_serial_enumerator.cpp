// Serial port listing: unique numbers per port and the extra ports from the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "hardware/HardwareInterfaceSerialPort.h"
#include "support/TestSupport.h"

#include "hardware/HardwareInterfaceSerialPort_Enumerator.h"

using Kavrel::HardwareInterfaceSerialPort_Enumerator;

TEST(SerialEnumerator, NumbersAreUniquePerPort)
{
    struct Case {
        const char* path;
        std::set<std::uint32_t> taken;
        std::uint32_t number;
    } cases[] = {
        {"/dev/ttyS0", {}, 0},          {"/dev/ttyS3", {}, 3},         {"/dev/ttyUSB0", {}, 1000},
        {"/dev/ttyUSB12", {}, 1012},    {"/dev/ttyACM1", {}, 2001},    {"/dev/pts/7", {}, 3007},
        {"/tmp/x/ttyA", {}, 3000},      {"/dev/ttyUSB0", {1000}, 1001}, {"/dev/ttyS1", {1, 2}, 3},
        {"/tmp/ttyA", {3000, 3001}, 3002},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HardwareInterfaceSerialPort_Enumerator::numberFor(c.path, c.taken), c.number) << c.path;
}

TEST(SerialEnumerator, ExtraPortsComeFirstOnceAndDigitOnlyNamesAreDropped)
{
    ::setenv("KAVREL_SERIAL_PORTS", " /tmp/kv-a , /tmp/kv-b,/tmp/kv-a,,42", 1);
    const auto ports = HardwareInterfaceSerialPort_Enumerator::enumerate();
    ::unsetenv("KAVREL_SERIAL_PORTS");
    ASSERT_GE(ports.size(), 2u);
    EXPECT_EQ(ports[0].path, "/tmp/kv-a");
    EXPECT_EQ(ports[1].path, "/tmp/kv-b");
    EXPECT_EQ(ports[0].number, 3000u);
    EXPECT_EQ(ports[1].number, 3001u);
    std::set<std::uint32_t> numbers;
    for (const auto& port : ports) {
        EXPECT_NE(port.path, "42");
        EXPECT_TRUE(numbers.insert(port.number).second) << port.path;
    }
}

// A pseudo-terminal's file name is all digits (/dev/pts/3); its path is still a
// port name, while a bare number is not.
TEST(SerialEnumerator, PseudoTerminalPathsAreOfferedAndBareNumbersAreNot)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    const std::string pts = std::filesystem::canonical(pair.a()).string();
    ASSERT_EQ(pts.rfind("/dev/pts/", 0), 0u) << pts;
    kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", "42," + pts);
    Kavrel::HardwareInterfaceSerialPort serial;
    Kavrel::HardwareInterfaceList list;
    ASSERT_GT(serial.getAvailableInterfaces(list), 0);
    std::shared_ptr<Kavrel::HardwareInterface> offered;
    for (const auto& port : list) {
        EXPECT_NE(port->getName(), "42");
        if (port->getName() == pts)
            offered = port;
    }
    ASSERT_NE(offered, nullptr) << pts << " was not offered";
    EXPECT_EQ(offered->getNameToOpen(), pts);
    offered->setBaudrate(19200);
    Kavrel::GenericParameters format;
    format.setText(0, "N");
    format.setText(1, "8");
    format.setText(2, "1");
    offered->setParameters(format);
    EXPECT_EQ(offered->openInterface(), 1) << offered->getLastErrorText();
    offered->closeInterface();
}
