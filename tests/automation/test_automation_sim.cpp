// The automation surface against kavrel-drive-sim: Modbus TCP on loopback and
// Modbus RTU over a socat pair. Skipped where the simulator is not built.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "automation/CCommunicationManager.h"
#include "automation/InterfaceSettings.h"
#include "automation_fixtures.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#if __has_include("hardware/HardwareInterfaceEthernet.h")
#include "hardware/HardwareInterfaceEthernet.h"
#define KAVREL_TEST_ETHERNET 1
#endif

using namespace Kavrel;
using namespace std::chrono_literals;
using kavreltest::DeviceSink;
using kavreltest::Delivered;
using kavreltest::EventLog;
using kavreltest::InterfaceSink;

namespace {

std::string simPath() { return kavreltest::binDir() + "/kavrel-drive-sim"; }

// One simulator process with a control input; stopped when it goes.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args)
    {
        fifo = dir.str() + "control";
        ::mkfifo(fifo.c_str(), 0600);
        std::vector<std::string> argv{simPath(), "--control", fifo};
        argv.insert(argv.end(), args.begin(), args.end());
        process = std::make_unique<kavreltest::ChildProcess>(argv);
        for (int i = 0; i < 8; ++i) {
            const std::string line = process->readLine(5000ms);
            if (line.rfind("tcp ", 0) == 0)
                port = line.substr(line.rfind(':') + 1);
            if (line == "ready") {
                ready = true;
                break;
            }
            if (line.empty())
                break;
        }
    }
    // Sends one control command and waits until the simulator says it took effect.
    bool control(const std::string& command) { return kavreltest::sendControl(fifo, *process, command); }
    bool ready = false;
    std::string port;
    std::unique_ptr<kavreltest::ChildProcess> process;

private:
    kavreltest::TempDir dir;
    std::string fifo;
};

class AutomationOnSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(simPath()))
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

    // A Modbus TCP interface twin pointed at the simulator.
    std::shared_ptr<CFieldbusInterface> tcpInterface(const Simulator& sim)
    {
        manager->put_protocolname("ModbusTCP");
        std::shared_ptr<IFieldbusInterface> made;
        EXPECT_EQ(manager->create_emptyFieldbusInterface(made), S_OK);
        auto twin = std::dynamic_pointer_cast<CFieldbusInterface>(made);
        if (!twin)
            return nullptr;
        auto* tcp = dynamic_cast<FieldbusInterfaceModbusTcp*>(twin->getFieldbusInterface());
        EXPECT_TRUE(tcp && tcp->setIpAddress("127.0.0.1") && tcp->setEthernetPort(sim.port));
        twin->put_dontShowDialog(1);
#ifdef KAVREL_TEST_ETHERNET
        // A silent drive costs one reply time-out; keep it short here.
        if (auto* ethernet = dynamic_cast<HardwareInterfaceEthernet*>(
                twin->getFieldbusInterface()->getChosenHardwareInterface().get()))
            ethernet->setReplyTimeout(300ms);
#endif
        return twin;
    }

    kavreltest::TempDir settings, spare;
    std::shared_ptr<CCommunicationManager> manager;
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

std::string text(IFieldbusDevice& device, HRESULT (IFieldbusDevice::*get)(std::string&))
{
    std::string value;
    EXPECT_EQ((device.*get)(value), S_OK);
    return value;
}

} // namespace

TEST_F(AutomationOnSimulator, ConnectIdentifyReadAndWriteOverTcp)
{
    Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "1-2"});
    ASSERT_TRUE(sim.ready && !sim.port.empty());
    auto bus = tcpInterface(sim);
    ASSERT_TRUE(bus);
    std::shared_ptr<IFieldbusDevice> one, two;
    ASSERT_EQ(bus->connectDeviceWithId(1, one), S_OK) << lastErrorInfo().description;
    ASSERT_EQ(bus->connectDeviceWithId(2, two), S_OK) << lastErrorInfo().description;

    EXPECT_EQ(text(*one, &IFieldbusDevice::get_originalVendorName), "VORLANE");
    EXPECT_EQ(text(*one, &IFieldbusDevice::get_originalProductCode), "VDX 2040 A");
    EXPECT_EQ(text(*one, &IFieldbusDevice::get_deviceVersion), "3.07");
    EXPECT_NE(text(*one, &IFieldbusDevice::get_serialNumber), text(*two, &IFieldbusDevice::get_serialNumber))
        << "the serial number steps per drive";
    EXPECT_EQ(text(*one, &IFieldbusDevice::get_deviceDate), "0x20261207");
    std::int32_t compatibility = 0;
    one->get_flashCompatibilityValue(compatibility);
    EXPECT_EQ(compatibility, 3);

    struct Read {
        std::int16_t size, index, sub;
        std::uint32_t value;
    };
    for (const Read& r : std::vector<Read>{{4, 2, 1, 100},
                                           {4, 2, 2, 0xFFFFFFFFu},
                                           {2, 1, 7, 3},
                                           {4, 129, 0, 0x12345678u},
                                           {4, 200, 5, 0x00C80005u}}) {
        std::int32_t value = 0;
        EXPECT_EQ(one->get_Parameter(r.size, r.index, r.sub, value), S_OK) << r.index << "." << r.sub;
        EXPECT_EQ(static_cast<std::uint32_t>(value), r.value) << r.index << "." << r.sub;
    }
    ASSERT_EQ(one->set_Parameter(4, 2, 0, static_cast<std::int32_t>(0x89ABCDEFu)), S_OK);
    std::int32_t back = 0, other = 0;
    ASSERT_EQ(one->get_Parameter(4, 2, 0, back), S_OK);
    ASSERT_EQ(two->get_Parameter(4, 2, 0, other), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(back), 0x89ABCDEFu);
    EXPECT_EQ(other, 0) << "the write went to drive 1 only";

    // A read-only parameter refuses the write; an unknown one the read.
    EXPECT_EQ(static_cast<std::uint32_t>(two->set_Parameter(4, 3, 0, 1)), 0x80040502u);
    EXPECT_EQ(lastErrorInfo().description, "Writing the parameter failed.");
    std::int32_t code = 0;
    two->get_lastErrorCode(code);
    EXPECT_NE(code, 0);
    std::int32_t value = 0;
    EXPECT_EQ(static_cast<std::uint32_t>(one->get_Parameter(4, 9, 9, value)), 0x80040501u);
    EXPECT_EQ(lastErrorInfo().description, "Reading the parameter failed.");
}

TEST_F(AutomationOnSimulator, UploadEventsCountPacketsAndEndOnce)
{
    Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "3"});
    ASSERT_TRUE(sim.ready);
    auto bus = tcpInterface(sim);
    std::shared_ptr<IFieldbusDevice> device;
    ASSERT_EQ(bus->connectDeviceWithId(3, device), S_OK) << lastErrorInfo().description;
    std::uint32_t cookie = 0;
    ASSERT_EQ(device->advise(std::make_shared<DeviceSink>(log), cookie), S_OK);
    ASSERT_EQ(device->startUpload(), S_OK);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("uploadFinished") == 1; }, 10000ms));
    commonbase::HostEventLoop::runFor(100ms);
    const auto events = log->all();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], (Delivered{"nextPacket", 256, 2, {}}));
    EXPECT_EQ(events[1], (Delivered{"nextPacket", 256, 3, {}}));
    EXPECT_EQ(events[2].name, "uploadFinished");
    EXPECT_EQ(events[2].first, 256);
    EXPECT_GE(events[2].second, 0) << "a normal end carries no error";
    for (const auto& e : events)
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    std::string buffer;
    device->get_uploadBuffer(buffer);
    // Every block in order: the buffer holds the whole upload.
    EXPECT_EQ(buffer, "00112233445566778899AABBCCDDEEFF"
                      "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
                      "CAFE");
}

TEST_F(AutomationOnSimulator, NodeGuardingReportsTheSilentDriveOnce)
{
    Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "1-3"});
    ASSERT_TRUE(sim.ready);
    auto bus = tcpInterface(sim);
    std::vector<std::shared_ptr<IFieldbusDevice>> devices(3);
    for (std::int32_t id = 1; id <= 3; ++id) {
        ASSERT_EQ(bus->connectDeviceWithId(id, devices[static_cast<std::size_t>(id - 1)]), S_OK);
        ASSERT_EQ(bus->disableNodeGuard(devices[static_cast<std::size_t>(id - 1)]), S_OK);
        ASSERT_EQ(bus->enableNodeGuard(devices[static_cast<std::size_t>(id - 1)], 300), S_OK);
    }
    std::uint32_t cookie = 0;
    ASSERT_EQ(bus->advise(std::make_shared<InterfaceSink>(log), cookie), S_OK);
    commonbase::HostEventLoop::runFor(400ms);
    EXPECT_EQ(log->all().size(), 0u) << "answering drives raise nothing";
    ASSERT_TRUE(sim.control("silence 2"));
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("nodeGuardTimeout") >= 1; }, 8000ms));
    commonbase::HostEventLoop::runFor(800ms);
    const auto events = log->all();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Delivered{"nodeGuardTimeout", 2, 0, {}}));
    std::int32_t count = 0;
    bus->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(count, 2);
    std::int32_t value = 0;
    EXPECT_EQ(devices[0]->get_Parameter(4, 2, 1, value), S_OK);
    EXPECT_EQ(devices[2]->get_Parameter(4, 2, 1, value), S_OK);

    // The interface goes while its worker guards: no hang, and the devices fail cleanly.
    const auto start = std::chrono::steady_clock::now();
    bus.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(static_cast<std::uint32_t>(devices[0]->get_Parameter(4, 2, 1, value)), 0x80040A03u);
}

namespace {

// A network-scan interface on one end of a socat pair, the simulator on the other.
struct RtuScan {
    kavreltest::SocatPair pair;
    std::unique_ptr<Simulator> sim;
    std::shared_ptr<CFieldbusInterface> bus;

    RtuScan(CCommunicationManager& manager, const std::string& ids)
    {
        if (!pair.ok())
            return;
        sim = std::make_unique<Simulator>(std::vector<std::string>{"--serial", pair.b(), "--ids", ids});
        if (!sim->ready)
            return;
        manager.put_protocolname("ModbusRS485");
        std::shared_ptr<IFieldbusInterface> made;
        {
            kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", pair.a());
            manager.create_emptyNetworkScanFieldbusInterface(made);
        }
        bus = std::dynamic_pointer_cast<CFieldbusInterface>(made);
        if (!bus)
            return;
        auto* rs485 = dynamic_cast<FieldbusInterfaceModbusRs485*>(bus->getFieldbusInterface());
        const std::int32_t index = rs485 ? rs485->findInterfaceByNameToOpen(pair.a()) : -1;
        if (index < 0) {
            bus.reset();
            return;
        }
        rs485->setInterfaceIndex(index);
        rs485->setBaudrateText("19200");
        rs485->setFrameFormat("N,8,1"); // a pseudo-terminal takes no parity
        bus->put_dontShowDialog(1);
    }
};

} // namespace

TEST_F(AutomationOnSimulator, ScanStepsEachIdInOrderAndKeepsTheDrivesFound)
{
    RtuScan scan(*manager, "2,3");
    if (!scan.bus)
        GTEST_SKIP() << "no Modbus RS485 adapter for the socat port in this build";
    std::uint32_t cookie = 0;
    ASSERT_EQ(scan.bus->advise(std::make_shared<InterfaceSink>(log), cookie), S_OK);
    ASSERT_EQ(scan.bus->put_scanRange("1-4"), S_OK);
    const auto start = std::chrono::steady_clock::now();
    const HRESULT started = scan.bus->startNetworkScan();
    if (static_cast<std::uint32_t>(started) == 0x8004040cu)
        GTEST_SKIP() << "no network-scan worker in this build";
    ASSERT_EQ(started, S_OK) << lastErrorInfo().description;
    EXPECT_EQ(static_cast<std::uint32_t>(scan.bus->startNetworkScan()), 0x8004040bu) << "one scan at a time";
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("finished") == 1; }, 30000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1100ms) << "the scan waits before its first id";
    const auto events = log->all();
    const std::vector<Delivered> expected = {
        {"stepped", 1, 0, {}}, {"stepped", 2, 1, {}}, {"stepped", 3, 1, {}}, {"stepped", 4, 0, {}}, {"finished", 0, 0, {}}};
    EXPECT_EQ(events, expected);
    for (const auto& e : events)
        EXPECT_EQ(e.thread, std::this_thread::get_id());

    // The drives found stay connected, held by the interface, and answer.
    EXPECT_EQ(scan.bus->numberOfScannedDevices(), 2u);
    std::shared_ptr<IFieldbusDevice> three;
    ASSERT_EQ(scan.bus->get_fieldbusDevice(3, three), S_OK);
    std::int32_t value = 0;
    EXPECT_EQ(three->get_Parameter(4, 2, 1, value), S_OK);
    EXPECT_EQ(value, 100);
    std::string range;
    scan.bus->get_scanRange(range);
    EXPECT_EQ(range, "1-4");
}

TEST_F(AutomationOnSimulator, StoppingAScanEndsItPromptlyAndReleasingMidScanDoesNotHang)
{
    RtuScan scan(*manager, "1");
    if (!scan.bus)
        GTEST_SKIP() << "no Modbus RS485 adapter for the socat port in this build";
    std::uint32_t cookie = 0;
    ASSERT_EQ(scan.bus->advise(std::make_shared<InterfaceSink>(log), cookie), S_OK);
    ASSERT_EQ(scan.bus->put_scanRange("1-40"), S_OK);
    const HRESULT started = scan.bus->startNetworkScan();
    if (static_cast<std::uint32_t>(started) == 0x8004040cu)
        GTEST_SKIP() << "no network-scan worker in this build";
    ASSERT_EQ(started, S_OK);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("stepped") >= 2; }, 20000ms));
    const auto stopAt = std::chrono::steady_clock::now();
    ASSERT_EQ(scan.bus->stopNetworkScan(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 3s) << "ends after the id being tried";
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("finished") == 1; }, 3000ms));
    EXPECT_LT(log->count("stepped"), 40u);

    // A second scan, released while it runs.
    ASSERT_EQ(scan.bus->startNetworkScan(), S_OK);
    commonbase::HostEventLoop::runFor(1300ms);
    const auto releaseAt = std::chrono::steady_clock::now();
    scan.bus.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - releaseAt, 3s);
    commonbase::HostEventLoop::runFor(100ms);
}

// The Vorlane line through the same surface: settings by name, a scan that
// connects the drives present, node guarding of one that falls silent.
TEST_F(AutomationOnSimulator, VorlaneScanThenGuardTheDrivesFound)
{
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Simulator sim({"--vorlane-serial", pair.b(), "--ids", "2,5"});
    ASSERT_TRUE(sim.ready);
    manager->put_protocolname("VorlaneRS485");
    std::shared_ptr<IFieldbusInterface> made;
    {
        kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", pair.a());
        ASSERT_EQ(manager->create_emptyNetworkScanFieldbusInterface(made), S_OK);
    }
    auto bus = std::dynamic_pointer_cast<CFieldbusInterface>(made);
    ASSERT_TRUE(bus);

    // Settings by name: refused values name themselves, accepted ones read back.
    EXPECT_EQ(InterfaceSettings::set(*bus, "Baudrate", "12345"), E_INVALIDARG);
    EXPECT_NE(lastErrorInfo().description.find("'12345' is not a valid value for 'Baudrate'"), std::string::npos);
    EXPECT_EQ(InterfaceSettings::set(*bus, "Format", "E,8,1"), E_INVALIDARG);
    EXPECT_EQ(InterfaceSettings::set(*bus, "IpAddress", "127.0.0.1"), E_INVALIDARG) << "not a TCP interface";
    ASSERT_EQ(InterfaceSettings::set(*bus, "Port", pair.a()), S_OK);
    ASSERT_EQ(InterfaceSettings::set(*bus, "Baudrate", "19200"), S_OK);
    ASSERT_EQ(InterfaceSettings::set(*bus, "DontShow", "1"), S_OK);
    std::string value;
    EXPECT_EQ(InterfaceSettings::get(*bus, "ScanBounds", value), S_OK);
    EXPECT_EQ(value, "1-31");
    EXPECT_EQ(InterfaceSettings::get(*bus, "Format", value), S_OK);
    EXPECT_EQ(value, "E,7,1");
    EXPECT_EQ(InterfaceSettings::get(*bus, "Formats", value), S_OK);
    EXPECT_EQ(value, "E,7,1");
    EXPECT_EQ(InterfaceSettings::get(*bus, "Port", value), S_OK);
    EXPECT_EQ(value, pair.a());

    std::uint32_t cookie = 0;
    ASSERT_EQ(bus->advise(std::make_shared<InterfaceSink>(log), cookie), S_OK);
    ASSERT_EQ(bus->put_scanRange("1-6"), S_OK);
    ASSERT_EQ(bus->startNetworkScan(), S_OK) << lastErrorInfo().description;
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("finished") == 1; }, 30000ms));
    const std::vector<Delivered> expected = {{"stepped", 1, 0, {}}, {"stepped", 2, 1, {}}, {"stepped", 3, 0, {}},
                                             {"stepped", 4, 0, {}}, {"stepped", 5, 1, {}}, {"stepped", 6, 0, {}},
                                             {"finished", 0, 0, {}}};
    EXPECT_EQ(log->all(), expected);

    std::shared_ptr<IFieldbusDevice> two, five;
    ASSERT_EQ(bus->get_fieldbusDevice(2, two), S_OK);
    ASSERT_EQ(bus->get_fieldbusDevice(5, five), S_OK);
    EXPECT_EQ(five->set_Parameter(4, 2, 5, 0x0BADF00D), S_OK);
    std::int32_t read = 0;
    EXPECT_EQ(five->get_Parameter(4, 2, 5, read), S_OK);
    EXPECT_EQ(read, 0x0BADF00D);
    EXPECT_EQ(two->get_Parameter(4, 2, 5, read), S_OK);
    EXPECT_NE(read, 0x0BADF00D) << "the write reached drive 5 only";

    // Guarding needs the interface's switch on (0x80040409 while off).
    EXPECT_EQ(static_cast<std::uint32_t>(bus->enableNodeGuard(two, 300)), 0x80040409u);
    ASSERT_EQ(InterfaceSettings::set(*bus, "NodeGuardEnabled", "1"), S_OK);
    for (auto* device : {&two, &five}) {
        ASSERT_EQ(bus->enableNodeGuard(*device, 300), S_OK) << lastErrorInfo().description;
    }
    commonbase::HostEventLoop::runFor(400ms);
    ASSERT_TRUE(sim.control("silence 5"));
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return log->count("nodeGuardTimeout") >= 1; }, 8000ms));
    commonbase::HostEventLoop::runFor(800ms);
    const auto events = log->all();
    ASSERT_EQ(events.size(), expected.size() + 1);
    EXPECT_EQ(events.back(), (Delivered{"nodeGuardTimeout", 5, 0, {}}));
}
