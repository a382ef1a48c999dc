// The workers against kavrel-drive-sim: Modbus RTU through a socat pair and
// Modbus TCP on loopback. Notices on the host thread in order, a drive
// silenced at run time reported once, owners going while workers run.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "core/FieldbusDevice.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "test_fieldbus_fakes.h"
#include "tools/test_drive_sim_support.h"

using namespace kavreltest;
using namespace std::chrono_literals;
using Kavrel::FieldbusDevice;
using Kavrel::FieldbusInterface;
using commonbase::HostEventLoop;
using Clock = std::chrono::steady_clock;

namespace {

class Window : public commonbase::MessageWindow {
public:
    struct Notice {
        std::uint32_t message;
        std::int32_t first, second;
        std::thread::id thread;
    };
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override
    {
        notices.push_back({message, first, second, std::this_thread::get_id()});
    }
    std::size_t count(std::uint32_t message) const
    {
        std::size_t n = 0;
        for (const auto& notice : notices)
            n += notice.message == message ? 1 : 0;
        return n;
    }
    std::vector<Notice> notices;
};

// Drives on the simulator behind a pseudo-terminal pair, reached by Modbus RTU.
struct RtuDrives {
    TempDir dir;
    SocatPair pair;
    std::unique_ptr<simtest::Sim> sim;
    SettingsFile settings;
    int control = -1;
    std::shared_ptr<Window> window = std::make_shared<Window>();
    std::unique_ptr<FieldbusInterface> bus;
    std::vector<std::unique_ptr<FieldbusDevice>> devices;
    bool ok = false;

    RtuDrives(const std::string& ids, bool networkScan)
    {
        if (!pair.ok())
            return;
        const std::string fifo = dir.str() + "control";
        sim = std::make_unique<simtest::Sim>(
            std::vector<std::string>{"--serial", pair.b(), "--baud", "19200", "--ids", ids, "--control", fifo});
        if (!sim->ready)
            return;
        control = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ::setenv("KAVREL_SERIAL_PORTS", pair.a().c_str(), 1);
        auto& manager = Kavrel::CommunicationManager::getInstance();
        manager.setProtocolName("ModbusRS485");
        bus = manager.createInterface(networkScan);
        auto* rs485 = dynamic_cast<Kavrel::FieldbusInterfaceModbusRs485*>(bus.get());
        if (!rs485)
            return;
        const std::int32_t index = rs485->findInterfaceByNameToOpen(pair.a());
        if (index < 0)
            return;
        rs485->setInterfaceIndex(index);
        ok = rs485->setBaudrateText("19200") && rs485->setFrameFormat("N,8,1") && control >= 0;
        bus->setDontShowDialog(1);
        bus->setMessageWindow(window);
    }
    ~RtuDrives()
    {
        devices.clear();
        bus.reset();
        if (control >= 0)
            ::close(control);
    }
    void say(const std::string& line)
    {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(control, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        EXPECT_EQ(sim->process->readLine(2s), "control " + line);
    }
};

} // namespace

TEST(WorkersOnSim, RtuScanConnectsThePresentDrivesInOrder)
{
    RtuDrives drives("2,5", true);
    ASSERT_TRUE(drives.ok);
    ASSERT_EQ(drives.bus->setScanRange("1-6"), 0);
    ASSERT_EQ(drives.bus->startNetworkScan(), 0);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil(
        [&] { return drives.window->count(FieldbusInterface::msgNetworkScanFinished) > 0; }, 60s));
    std::vector<std::pair<std::int32_t, std::int32_t>> steps;
    for (const auto& notice : drives.window->notices) {
        EXPECT_EQ(notice.thread, std::this_thread::get_id());
        if (notice.message == FieldbusInterface::msgNetworkScanStepped)
            steps.emplace_back(notice.first, notice.second);
    }
    using Step = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(steps, (std::vector<Step>{{1, 0}, {2, 1}, {3, 0}, {4, 0}, {5, 1}, {6, 0}}));
    EXPECT_EQ(drives.window->notices.back().message, FieldbusInterface::msgNetworkScanFinished);
    ASSERT_EQ(drives.bus->getNumberOfFieldbusDevices(), 2u);
    // The drives found answer for real.
    std::uint32_t serial = 0;
    ASSERT_EQ(drives.bus->findFieldbusDeviceUniqueId(5)->getParameter(4, 1, 23, serial), 1);
    EXPECT_EQ(serial, 12345605u);
}

TEST(WorkersOnSim, RtuGuardReportsTheSilencedDriveOnceAndKeepsTheOthers)
{
    RtuDrives drives("1-3", false);
    ASSERT_TRUE(drives.ok);
    drives.bus->setNodeGuardEnabled(1);
    drives.bus->setNodeGuardInterval(400);
    for (std::uint32_t id : {1u, 2u, 3u}) {
        std::unique_ptr<FieldbusDevice> device;
        ASSERT_EQ(drives.bus->connectDevice(id, device), 0) << id;
        ASSERT_TRUE(drives.bus->isNodeGuarded(device.get())) << id;
        drives.devices.push_back(std::move(device));
    }
    commonbase::HostEventLoop::runFor(600ms);
    drives.say("silence 2");
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil(
        [&] { return drives.window->count(FieldbusInterface::msgNodeGuardTimeout) > 0; }, 5s));
    commonbase::HostEventLoop::runFor(1200ms);
    ASSERT_EQ(drives.window->count(FieldbusInterface::msgNodeGuardTimeout), 1u);
    EXPECT_EQ(drives.window->notices.front().first, 2);
    EXPECT_EQ(drives.window->notices.front().thread, std::this_thread::get_id());
    EXPECT_TRUE(drives.bus->isNodeGuarded(drives.devices[0].get()));
    EXPECT_FALSE(drives.bus->isNodeGuarded(drives.devices[1].get()));
    EXPECT_TRUE(drives.bus->isNodeGuarded(drives.devices[2].get()));
    // The drive holds the interval it was given.
    std::uint32_t interval = 0;
    ASSERT_EQ(drives.devices[2]->getParameter(2, 22, 6, interval), 1);
    EXPECT_EQ(interval, 400u);
}

TEST(WorkersOnSim, InterfaceGoingWhileItsWorkersRunNeitherCrashesNorHangs)
{
    for (int variant = 0; variant < 2; ++variant) {
        RtuDrives drives("1-2", variant == 0);
        ASSERT_TRUE(drives.ok);
        if (variant == 0) {
            ASSERT_EQ(drives.bus->setScanRange("1-20"), 0);
            ASSERT_EQ(drives.bus->startNetworkScan(), 0);
            commonbase::HostEventLoop::runFor(1500ms); // inside the range
        } else {
            drives.bus->setNodeGuardInterval(200);
            for (std::uint32_t id : {1u, 2u}) {
                std::unique_ptr<FieldbusDevice> device;
                ASSERT_EQ(drives.bus->connectDevice(id, device), 0);
                drives.devices.push_back(std::move(device));
            }
            drives.say("silence all"); // the worker is now waiting for answers
            commonbase::HostEventLoop::runFor(300ms);
        }
        const auto asked = Clock::now();
        drives.bus.reset();
        // At most the exchange in progress (a few reply time-outs) is waited for.
        EXPECT_LT(Clock::now() - asked, 5s) << variant;
        commonbase::HostEventLoop::runFor(50ms);
    }
}

TEST(WorkersOnSim, TcpScanAndUploadNotices)
{
    simtest::Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1,3"});
    ASSERT_TRUE(sim.ready);
    SettingsFile settings;
    auto& manager = Kavrel::CommunicationManager::getInstance();
    manager.setProtocolName("ModbusTCP");
    std::unique_ptr<FieldbusInterface> bus = manager.createInterface(false);
    auto* tcp = dynamic_cast<Kavrel::FieldbusInterfaceModbusTcp*>(bus.get());
    ASSERT_NE(tcp, nullptr);
    ASSERT_TRUE(tcp->setIpAddress("127.0.0.1"));
    ASSERT_TRUE(tcp->setEthernetPort(std::to_string(sim.port)));
    bus->setDontShowDialog(1);
    auto window = std::make_shared<Window>();
    bus->setMessageWindow(window);
    ASSERT_EQ(bus->setScanRange("1-4"), 0);
    ASSERT_EQ(bus->startNetworkScan(), 0);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil(
        [&] { return window->count(FieldbusInterface::msgNetworkScanFinished) > 0; }, 30s));
    std::vector<std::int32_t> found;
    for (const auto& notice : window->notices)
        if (notice.message == FieldbusInterface::msgNetworkScanStepped && notice.second)
            found.push_back(notice.first);
    EXPECT_EQ(found, (std::vector<std::int32_t>{1, 3}));

    // Upload from a drive the scan connected: next-packet notices 2, 3, ... then one finished.
    FieldbusDevice* device = bus->findFieldbusDeviceUniqueId(3);
    ASSERT_NE(device, nullptr);
    auto deviceWindow = std::make_shared<Window>();
    device->setMessageWindow(deviceWindow);
    ASSERT_EQ(device->startUpload(), 1);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil(
        [&] { return deviceWindow->count(FieldbusDevice::msgUploadFinished) > 0; }, 10s));
    std::int32_t expected = 2;
    for (const auto& notice : deviceWindow->notices) {
        EXPECT_EQ(notice.first, FieldbusDevice::uploadSessionId);
        if (notice.message == FieldbusDevice::msgNextPacket) {
            EXPECT_EQ(notice.second, expected++);
        }
    }
    EXPECT_EQ(deviceWindow->notices.back().message, FieldbusDevice::msgUploadFinished);
    EXPECT_GE(deviceWindow->notices.back().second, 0);
    EXPECT_FALSE(device->getUploadBuffer().empty());
    bus.reset();
}
