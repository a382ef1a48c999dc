// A Modbus TCP interface whose address was never set connects nowhere: the
// host gets an error whose text names the setting, and no connection is made
// (a listener on the chosen port of 127.0.0.1 sees nothing).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "automation/CCommunicationManager.h"
#include "automation/ErrorInfo.h"
#include "automation/InterfaceSettings.h"
#include "automation_fixtures.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "protocols/FieldbusProtocolModbusTcp.h"
#include "support/TestSupport.h"

using namespace Kavrel;

TEST(AutomationModbusTcp, NoAddressEverSetIsAnErrorNamingTheSetting)
{
    kavreltest::TempDir settings, spare;
    auto manager = CCommunicationManager::create();
    manager->put_lastSettingsPath(settings.str());
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);

    manager->put_protocolname("ModbusTCP");
    std::shared_ptr<IFieldbusInterface> made;
    ASSERT_EQ(manager->create_emptyFieldbusInterface(made), S_OK);
    auto twin = std::dynamic_pointer_cast<CFieldbusInterface>(made);
    ASSERT_TRUE(twin);
    ASSERT_EQ(InterfaceSettings::set(*twin, "EthernetPort", std::to_string(ntohs(a.sin_port))), S_OK);
    std::string address = "?";
    EXPECT_EQ(InterfaceSettings::get(*twin, "IpAddress", address), S_OK);
    EXPECT_EQ(address, "");
    twin->put_dontShowDialog(1);
    std::shared_ptr<IFieldbusDevice> device;
    const HRESULT hr = twin->connectDeviceWithId(1, device);
    EXPECT_EQ(hr, FieldbusInterfaceModbusTcp::errorNoIpAddress);
    EXPECT_FALSE(device);
    EXPECT_NE(lastErrorInfo().description.find("IpAddress"), std::string::npos) << lastErrorInfo().description;
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0) << "something connected to 127.0.0.1";
    ::close(listener);
    twin.reset();
    made.reset();
    manager->put_lastSettingsPath(spare.str());
}

TEST(AutomationModbusTcp, ModbusFailureCodesHaveTexts)
{
    auto manager = CCommunicationManager::create();
    FieldbusProtocolModbusTcp protocol;
    for (std::uint32_t code = FieldbusProtocolModbusBase::errorReplyNotHex;
         code <= FieldbusProtocolModbusBase::errorNoReply; ++code) {
        const std::string text = ErrorInfo::textFor(static_cast<HRESULT>(code));
        EXPECT_FALSE(text.empty()) << std::hex << code;
        EXPECT_EQ(text.find("!!"), std::string::npos) << text;
    }
}
