// The automation surface against kavrel-drive-sim: network scans over Modbus
// RTU and the Vorlane line on socat pairs. Skipped where the simulator is not
// built.
#include <gtest/gtest.h>

#include "automation/CCommunicationManager.h"
#include "automation/InterfaceSettings.h"
#include "automation_fixtures.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "tools/test_drive_sim_support.h"

using namespace Kavrel;
using namespace std::chrono_literals;
using kavreltest::Delivered;
using kavreltest::InterfaceSink;
using Events = std::vector<Delivered>;

namespace {

class AutomationOnSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(simtest::simBinary()))
            GTEST_SKIP() << "kavrel-drive-sim is not built";
        manager = CCommunicationManager::create();
        manager->put_lastSettingsPath(settings.str());
        kavreltest::drainHostQueue();
    }
    void TearDown() override
    {
        kavreltest::drainHostQueue();
        if (manager)
            manager->put_lastSettingsPath(spare.str());
    }
    // A network-scan interface of the protocol on the port, which only the
    // environment's serial-port list offers.
    std::shared_ptr<CFieldbusInterface> scanInterface(const char* protocol, const std::string& port)
    {
        manager->put_protocolname(protocol);
        std::shared_ptr<IFieldbusInterface> made;
        kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", port);
        EXPECT_EQ(manager->create_emptyNetworkScanFieldbusInterface(made), S_OK);
        return std::dynamic_pointer_cast<CFieldbusInterface>(made);
    }

    kavreltest::TempDir settings, spare;
    std::shared_ptr<CCommunicationManager> manager;
    std::shared_ptr<kavreltest::EventLog> log = std::make_shared<kavreltest::EventLog>();
};

} // namespace

TEST_F(AutomationOnSimulator, RtuScanStepsEachIdKeepsTheDrivesFoundAndStopsPromptly)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    simtest::Sim sim({"--serial", pair.b(), "--ids", "2,3"});
    ASSERT_TRUE(sim.ready);
    auto bus = scanInterface("ModbusRS485", pair.a());
    ASSERT_TRUE(bus);
    auto* rs485 = dynamic_cast<FieldbusInterfaceModbusRs485*>(bus->getFieldbusInterface());
    const std::int32_t index = rs485->findInterfaceByNameToOpen(pair.a());
    ASSERT_GE(index, 0);
    rs485->setInterfaceIndex(index);
    rs485->setBaudrateText("19200");
    rs485->setFrameFormat("N,8,1"); // a pseudo-terminal takes no parity
    bus->put_dontShowDialog(1);
    kavreltest::advise(*bus, std::make_shared<InterfaceSink>(log));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(bus->put_scanRange("1-4"), S_OK);
    ASSERT_EQ(bus->startNetworkScan(), S_OK) << lastErrorInfo().description;
    EXPECT_EQ(static_cast<std::uint32_t>(bus->startNetworkScan()), 0x8004040bu) << "one scan at a time";
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("finished") == 1; }, 30000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1100ms) << "the scan waits before its first id";
    EXPECT_EQ(log->all(), (Events{{"stepped", 1, 0, {}}, {"stepped", 2, 1, {}}, {"stepped", 3, 1, {}},
                                  {"stepped", 4, 0, {}}, {"finished", 0, 0, {}}}));
    for (const auto& e : log->all())
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    // The drives found stay connected, held by the interface, and answer.
    EXPECT_EQ(bus->numberOfScannedDevices(), 2u);
    std::shared_ptr<IFieldbusDevice> three;
    ASSERT_EQ(bus->get_fieldbusDevice(3, three), S_OK);
    std::int32_t value = 0;
    EXPECT_EQ(three->get_Parameter(4, 2, 1, value), S_OK);
    EXPECT_EQ(value, 100);
    std::string range;
    bus->get_scanRange(range);
    EXPECT_EQ(range, "1-4");

    // A long scan, stopped after the id being tried; then one released while it runs.
    ASSERT_EQ(bus->put_scanRange("1-40"), S_OK);
    ASSERT_EQ(bus->startNetworkScan(), S_OK);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("stepped") >= 6; }, 20000ms));
    const auto stopAt = std::chrono::steady_clock::now();
    ASSERT_EQ(bus->stopNetworkScan(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 3s);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("finished") == 2; }, 3000ms));
    EXPECT_LT(log->count("stepped"), 44u);
    ASSERT_EQ(bus->startNetworkScan(), S_OK);
    commonbase::HostEventLoop::runFor(1300ms);
    three.reset();
    const auto releaseAt = std::chrono::steady_clock::now();
    bus.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - releaseAt, 5s) << "at most the id being tried is waited for";
    commonbase::HostEventLoop::runFor(100ms);
}

// The Vorlane line through the same surface: settings by name, then a scan
// that connects the drives present.
TEST_F(AutomationOnSimulator, VorlaneSettingsByNameAndAScan)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    simtest::Sim sim({"--vorlane-serial", pair.b(), "--ids", "2,5"});
    ASSERT_TRUE(sim.ready);
    auto bus = scanInterface("VorlaneRS485", pair.a());
    ASSERT_TRUE(bus);
    struct Refused {
        const char *key, *value, *says;
    };
    for (const auto& r : {Refused{"Baudrate", "12345", "'12345' is not a valid value for 'Baudrate'"},
                          Refused{"Format", "E,8,1", ""}, Refused{"IpAddress", "127.0.0.1", ""}}) { // not TCP
        EXPECT_EQ(InterfaceSettings::set(*bus, r.key, r.value), E_INVALIDARG) << r.key;
        EXPECT_NE(lastErrorInfo().description.find(r.says), std::string::npos) << lastErrorInfo().description;
    }
    for (const auto& [key, value] : {std::pair{"Port", pair.a().c_str()}, {"Baudrate", "19200"}, {"DontShow", "1"}})
        ASSERT_EQ(InterfaceSettings::set(*bus, key, value), S_OK) << key;
    for (const auto& [key, expected] : {std::pair{"ScanBounds", std::string("1-31")}, {"Format", "E,7,1"},
                                        {"Formats", "E,7,1"}, {"Port", pair.a()}}) {
        std::string value;
        EXPECT_EQ(InterfaceSettings::get(*bus, key, value), S_OK);
        EXPECT_EQ(value, expected) << key;
    }
    kavreltest::advise(*bus, std::make_shared<InterfaceSink>(log));
    ASSERT_EQ(bus->put_scanRange("1-6"), S_OK);
    ASSERT_EQ(bus->startNetworkScan(), S_OK) << lastErrorInfo().description;
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("finished") == 1; }, 30000ms));
    EXPECT_EQ(log->all(), (Events{{"stepped", 1, 0, {}}, {"stepped", 2, 1, {}}, {"stepped", 3, 0, {}},
                                  {"stepped", 4, 0, {}}, {"stepped", 5, 1, {}}, {"stepped", 6, 0, {}},
                                  {"finished", 0, 0, {}}}));
    std::shared_ptr<IFieldbusDevice> two, five;
    ASSERT_EQ(bus->get_fieldbusDevice(2, two), S_OK);
    ASSERT_EQ(bus->get_fieldbusDevice(5, five), S_OK);
    std::int32_t read = 0;
    EXPECT_EQ(five->set_Parameter(4, 2, 5, 0x0BADF00D), S_OK);
    EXPECT_EQ(five->get_Parameter(4, 2, 5, read), S_OK);
    EXPECT_EQ(read, 0x0BADF00D);
    EXPECT_EQ(two->get_Parameter(4, 2, 5, read), S_OK);
    EXPECT_NE(read, 0x0BADF00D) << "the write reached drive 5 only";
}
