// Each failing call of the automation surface: its result code and the text
// the error registry attaches for the host's thread.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <functional>

#include "automation/CCommunicationManager.h"
#include "automation/IDebugManager.h"
#include "automation/IFieldbusDeviceList.h"
#include "automation/IInterfaceInfo.h"
#include "automation/InterfaceSettings.h"
#include "automation_fixtures.h"
#include "core/FieldbusInterfaceModbusTcp.h"

using namespace Kavrel;
using kavreltest::FakeBus;

namespace {

struct FailingCall {
    const char* what;
    std::function<HRESULT()> call;
    std::uint32_t code;
    const char* text; // the registry's text from the shipped error file; "" = any
};

void expectFailure(const FailingCall& row)
{
    ErrorInfo::clear();
    const HRESULT hr = row.call();
    EXPECT_EQ(static_cast<std::uint32_t>(hr), row.code) << row.what;
    EXPECT_EQ(static_cast<std::uint32_t>(lastErrorInfo().code), row.code) << row.what;
    if (*row.text)
        EXPECT_EQ(lastErrorInfo().description, row.text) << row.what;
    else
        EXPECT_FALSE(lastErrorInfo().description.empty()) << row.what;
}

class AutomationErrors : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager = CCommunicationManager::create();
        manager->put_dataPath(dir.str());
    }
    void TearDown() override
    {
        manager->put_dataPath("");
        manager->put_protocolname("");
        kavreltest::drainHostQueue();
    }
    kavreltest::TempDir dir, other;
    std::shared_ptr<CCommunicationManager> manager;
};

} // namespace

TEST_F(AutomationErrors, ManagerCallsFailWithTheirCodeAndText)
{
    std::shared_ptr<IFieldbusInterface> made;
    std::shared_ptr<IDebugManager> debug;
    std::shared_ptr<IInterfaceInfo> info;
    std::string text;
    const std::vector<FailingCall> rows = {
        {"debug manager without data path", [&] { return manager->put_dataPath(""), manager->get_DebugManager(debug); },
         0x80040201u, "The data path is empty."},
        {"interface without protocol",
         [&] { return manager->put_protocolname(""), manager->create_emptyFieldbusInterface(made); }, 0x80040701u,
         "No protocol is selected."},
        {"unknown protocol name is refused, so none is selected",
         [&] { return manager->put_protocolname("ModbusUDP"), manager->create_emptyFieldbusInterface(made); },
         0x80040701u, "No protocol is selected."},
        {"ModbusTCP offers no network-scan interface",
         [&] { return manager->put_protocolname("ModbusTCP"), manager->create_emptyNetworkScanFieldbusInterface(made); },
         0x80040702u, "The fieldbus interface could not be made."},
        {"interface info 0",
         [&] { return manager->put_protocolname("VorlaneRS485"), manager->get_interfaceInfo(0, info); }, 0x80004005u,
         ""},
        {"protocol dialog not confirmed", [&] { return manager->displaySelectProtocolDialog("", text); }, 0x80004005u,
         ""},
        {"clone settings without a document to a folder that does not exist",
         [&] { return manager->cloneSettingsToFile(dir.str() + "no/such/folder/x.xml"); }, 0x80004005u, ""},
    };
    for (const auto& row : rows)
        expectFailure(row);
    EXPECT_FALSE(made);
    EXPECT_FALSE(debug);
}

TEST_F(AutomationErrors, DebugManagerWorksOnceTheDataPathIsSet)
{
    std::shared_ptr<IDebugManager> debug;
    ErrorInfo::clear();
    manager->put_dataPath("");
    manager->get_DebugManager(debug);
    manager->put_dataPath(dir.str());
    ASSERT_EQ(manager->get_DebugManager(debug), S_OK);
    ASSERT_TRUE(debug);
    EXPECT_EQ(lastErrorInfo().code, S_OK) << "a successful call clears the error information";
    EXPECT_EQ(static_cast<std::uint32_t>(debug->openFile(3, "host.log")), 0x80040802u) << "no log folder yet";
    std::filesystem::create_directories(dir.path() / "log");
    // Errors only, so the file does not collect the rest of the run's trace.
    ASSERT_EQ(debug->openFile(3, "host.log"), S_OK);
    ASSERT_EQ(debug->write(3, "HostTest", "a line from the host"), S_OK);
    EXPECT_NE(kavreltest::readFile(dir.path() / "log" / "host.log").find("a line from the host"), std::string::npos);
    EXPECT_EQ(debug->openFile(-1, "x.log"), E_INVALIDARG);
}

TEST_F(AutomationErrors, InterfaceAndDeviceCallsFailWithTheirCodeAndText)
{
    FakeBus bus;
    auto device = bus.connect(1), two = bus.connect(2);
    ASSERT_TRUE(device && two);
    FakeBus other;
    auto foreign = other.connect(1);
    ASSERT_TRUE(foreign);
    std::shared_ptr<IFieldbusDevice> out;
    std::vector<std::int32_t> ids;
    std::shared_ptr<IFieldbusDeviceList> list;
    std::uint32_t cookie = 0;
    std::int32_t value = 77;
    const std::vector<FailingCall> rows = {
        {"no device with that id", [&] { return bus.twin->get_fieldbusDevice(9, out); }, 0x80040304u,
         "No device with that id is connected."},
        {"same id twice", [&] { return bus.twin->connectDeviceWithId(1, out); }, 0x80040408u,
         "A device with that id is already connected."},
        {"a drive that does not answer", [&] { return bus.twin->connectDeviceWithId(7, out); }, 0x80040402u,
         "The device did not answer when connecting."},
        {"negative id", [&] { return bus.twin->connectDeviceWithId(-1, out); }, 0x8004040Eu, ""},
        {"node guarding a device of another interface", [&] { return bus.twin->enableNodeGuard(foreign, 0); },
         0x80040407u, "Node guarding could not be enabled: the device is not connected through this interface."},
        {"node guarding a device twice", [&] { return bus.twin->enableNodeGuard(device, 0); }, 0x80040406u,
         "Node guarding is already active for this device."},
        {"node guarding no device", [&] { return bus.twin->enableNodeGuard(nullptr, 0); }, 0x80070057u, ""},
        {"negative node-guard interval", [&] { return bus.twin->enableNodeGuard(device, -5); }, 0x80070057u, ""},
        {"malformed scan range", [&] { return bus.twin->put_scanRange("3-x"); }, 0x80004005u, ""},
        {"scan range beyond the protocol's bounds", [&] { return bus.twin->put_scanRange("1-300"); }, 0x80004005u,
         ""},
        {"range ids of a malformed text", [&] { return bus.twin->get_RangeIds("1,,2-", ids); }, 0x80004005u, ""},
        {"device list of a malformed text", [&] { return bus.twin->get_DeviceList("-", list); }, 0x80004005u, ""},
        {"flash range the protocol refuses", [&] { return bus.twin->get_FlashRangeIds("abc", ids); }, 0x80004005u,
         ""},
        {"stored settings name no interface", [&] { return bus.twin->checkLastSettings(); }, 0x80004005u, ""},
        {"unadvise an unknown cookie", [&] { return bus.twin->unadvise(4711); }, 0x80070057u, ""},
        {"advise no sink", [&] { return bus.twin->advise(nullptr, cookie); }, 0x80070057u, ""},
        {"stopUpload without an upload", [&] { return two->stopUpload(); }, 0x80040504u,
         "The upload could not be stopped."},
        {"read of a silent drive", [&] { return bus.fake->silence(2), two->get_Parameter(4, 1, 1, value); },
         0x80040501u, "Reading the parameter failed."},
        {"write after the drive was lost", [&] { return two->set_Parameter(2, 3, 4, 5); }, 0x80040502u,
         "Writing the parameter failed."},
        {"advise a device no sink", [&] { return two->advise(nullptr, cookie); }, 0x80070057u, ""},
    };
    for (const auto& row : rows)
        expectFailure(row);
    EXPECT_TRUE(ids.empty());
    EXPECT_FALSE(list);
    std::int32_t count = 0;
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(count, 2) << "failed connects add no device";
    EXPECT_EQ(value, 77) << "a failed read leaves the out-argument alone";
    two->get_lastErrorCode(value);
    EXPECT_EQ(static_cast<std::uint32_t>(value), kavreltest::FakeProtocol::errorSilent);
}

TEST_F(AutomationErrors, ErrorInformationBelongsToTheCallingThread)
{
    FakeBus bus;
    std::shared_ptr<IFieldbusDevice> out;
    ASSERT_EQ(static_cast<std::uint32_t>(bus.twin->get_fieldbusDevice(5, out)), 0x80040304u);
    HRESULT seenThere = -1;
    std::thread([&] { seenThere = lastErrorInfo().code; }).join();
    EXPECT_EQ(seenThere, S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(lastErrorInfo().code), 0x80040304u);
    EXPECT_EQ(lastErrorInfo().source, "IFieldbusInterface");
}

TEST_F(AutomationErrors, ErrorTextForTakesTheLowBitsOfAnyCode)
{
    std::string full, low, unknown;
    // 0x201 is registered by the manager object itself.
    manager->get_errorTextFor(static_cast<std::int32_t>(0x80040201u), full);
    manager->get_errorTextFor(0x201, low);
    manager->get_errorTextFor(0x0ff3, unknown);
    EXPECT_EQ(full + "|" + low + "|" + unknown, "The data path is empty.|The data path is empty.|!! Unknown Error 0ff3 !!");
}

// A Modbus TCP interface whose address was never set connects nowhere: the
// error names the setting, and a listener on the chosen port sees nothing.
TEST_F(AutomationErrors, ModbusTcpWithNoAddressEverSetNamesTheSettingAndConnectsNowhere)
{
    manager->put_lastSettingsPath(dir.str());
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
    auto& twin = dynamic_cast<CFieldbusInterface&>(*made);
    ASSERT_EQ(InterfaceSettings::set(twin, "EthernetPort", std::to_string(ntohs(a.sin_port))), S_OK);
    std::string address = "?";
    EXPECT_EQ(InterfaceSettings::get(twin, "IpAddress", address), S_OK);
    EXPECT_EQ(address, "");
    twin.put_dontShowDialog(1);
    std::shared_ptr<IFieldbusDevice> device;
    EXPECT_EQ(twin.connectDeviceWithId(1, device), FieldbusInterfaceModbusTcp::errorNoIpAddress);
    EXPECT_FALSE(device);
    EXPECT_NE(lastErrorInfo().description.find("IpAddress"), std::string::npos) << lastErrorInfo().description;
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0) << "something connected to 127.0.0.1";
    ::close(listener);
    made.reset();
    manager->put_lastSettingsPath(other.str());
}
