// Events: delivered on the host's thread, in posting order, to every sink in
// the order of advising; nothing reaches an object that is gone.
#include <functional>

#include "automation_fixtures.h"

using namespace Kavrel;
using namespace kavreltest;
using namespace std::chrono_literals;
using commonbase::HostEventLoop;

namespace {

class AutomationEvents : public ::testing::Test {
protected:
    void SetUp() override { drainHostQueue(); }
    void TearDown() override { drainHostQueue(); }
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
};

} // namespace

TEST_F(AutomationEvents, WorkerNoticesArriveOnTheHostThreadInPostingOrder)
{
    FakeBus bus;
    auto device = bus.connect(1);
    auto* coreDevice = dynamic_cast<CFieldbusDevice&>(*device).getFieldbusDevice();
    advise(*bus.twin, std::make_shared<InterfaceSink>(log));
    advise(*device, std::make_shared<DeviceSink>(log));

    // Two workers post interleaved notices to two twins.
    constexpr int rounds = 50;
    std::thread worker([&] {
        for (int i = 0; i < rounds; ++i) {
            bus.core->postToTwin(FieldbusInterface::msgNetworkScanStepped, i, i % 2);
            coreDevice->postToTwin(FieldbusDevice::msgNextPacket, 256, i);
        }
        bus.core->postToTwin(FieldbusInterface::msgNetworkScanFinished, 0, 0);
    });
    worker.join();
    EXPECT_EQ(log->all().size(), 0u) << "nothing is fired before the host pumps";
    ASSERT_TRUE(HostEventLoop::runUntil([&] { return log->count("finished") == 1; }, 2000ms));

    const auto events = log->all();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(2 * rounds + 1));
    for (int i = 0; i < rounds; ++i) {
        EXPECT_EQ(events[static_cast<std::size_t>(2 * i)], (Delivered{"stepped", i, i % 2, {}}));
        EXPECT_EQ(events[static_cast<std::size_t>(2 * i + 1)], (Delivered{"nextPacket", 256, i, {}}));
    }
    for (const auto& e : events)
        EXPECT_EQ(e.thread, std::this_thread::get_id());
}

TEST_F(AutomationEvents, EverySinkInAdviseOrderAndUnadviseStopsIt)
{
    FakeBus bus;
    const auto a = advise(*bus.twin, std::make_shared<InterfaceSink>(log, "a."));
    advise(*bus.twin, std::make_shared<InterfaceSink>(log, "b."));
    bus.core->postToTwin(FieldbusInterface::msgNodeGuardTimeout, 5, 0);
    HostEventLoop::pump();
    ASSERT_EQ(bus.twin->unadvise(a), S_OK);
    EXPECT_EQ(bus.twin->unadvise(a), E_INVALIDARG) << "a cookie is good once";
    bus.core->postToTwin(FieldbusInterface::msgNodeGuardTimeout, 6, 0);
    bus.core->postToTwin(CFieldbusInterface::msgSetCursor, 0, 0);
    HostEventLoop::pump();
    EXPECT_EQ(log->all(), (std::vector<Delivered>{{"a.nodeGuardTimeout", 5, 0, {}}, {"b.nodeGuardTimeout", 5, 0, {}},
                                                  {"b.nodeGuardTimeout", 6, 0, {}}}));
}

// A sink that runs the host loop from inside its event, as a modal dialog does.
class PumpingSink : public InterfaceSink {
public:
    using InterfaceSink::InterfaceSink;
    std::function<void()> postMore;
    void onNetworkScanStepped(std::int32_t id, std::int32_t success) override
    {
        InterfaceSink::onNetworkScanStepped(id, success);
        if (id == 1) {
            postMore(); // a worker posts while the dialog is open
            HostEventLoop::pump();
        }
    }
};

TEST_F(AutomationEvents, AHandlerThatPumpsKeepsThePostingOrder)
{
    FakeBus bus;
    auto device = bus.connect(1);
    auto* coreDevice = dynamic_cast<CFieldbusDevice&>(*device).getFieldbusDevice();
    auto pumping = std::make_shared<PumpingSink>(log);
    pumping->postMore = [&] { bus.core->postToTwin(FieldbusInterface::msgNetworkScanStepped, 3, 1); };
    advise(*bus.twin, pumping);
    advise(*device, std::make_shared<DeviceSink>(log));
    bus.core->postToTwin(FieldbusInterface::msgNetworkScanStepped, 1, 1);
    coreDevice->postToTwin(FieldbusDevice::msgNextPacket, 256, 2);
    bus.core->postToTwin(FieldbusInterface::msgNetworkScanStepped, 2, 0);
    coreDevice->postToTwin(FieldbusDevice::msgUploadFinished, 256, 0);
    HostEventLoop::pump();
    EXPECT_EQ(log->all(), (std::vector<Delivered>{{"stepped", 1, 1, {}}, {"nextPacket", 256, 2, {}}, {"stepped", 2, 0, {}},
                                                  {"uploadFinished", 256, 0, {}}, {"stepped", 3, 1, {}}}));
}

// A sink that releases what it listens to from inside the event.
class ReleasingSink : public IFieldbusDeviceEvent {
public:
    std::shared_ptr<IFieldbusDevice> held;
    int calls = 0;
    void onNextPacket(std::int32_t, std::int32_t) override { ++calls, held.reset(); }
};

TEST_F(AutomationEvents, ReleasingAnObjectDropsItsPendingEvents)
{
    FakeBus bus;
    auto device = bus.connect(1);
    auto* coreDevice = dynamic_cast<CFieldbusDevice&>(*device).getFieldbusDevice();
    auto sink = std::make_shared<ReleasingSink>();
    advise(*device, sink);
    sink->held = device;
    for (int i = 0; i < 5; ++i)
        coreDevice->postToTwin(FieldbusDevice::msgNextPacket, 256, i);
    device.reset(); // the sink holds the last reference now
    advise(*bus.twin, std::make_shared<InterfaceSink>(log));
    bus.core->postToTwin(FieldbusInterface::msgNodeGuardTimeout, 9, 0);
    ASSERT_EQ(HostEventLoop::instance().pending(), 6u);
    HostEventLoop::pump();
    EXPECT_EQ(sink->calls, 1) << "the device went inside its first event; the other four are dropped";
    EXPECT_EQ(log->count("nodeGuardTimeout"), 1u) << "another object's events still arrive";
    EXPECT_EQ(HostEventLoop::instance().pending(), 0u);
    std::int32_t count = 0;
    bus.twin->get_numberOfFieldbusDevices(count);
    EXPECT_EQ(count, 0);

    // Posting to an interface that is already gone is dropped at once.
    bus.core->postToTwin(FieldbusInterface::msgNodeGuardTimeout, 10, 0);
    auto window = bus.core->getMessageWindow();
    bus.twin.reset();
    EXPECT_TRUE(window.expired());
    EXPECT_EQ(HostEventLoop::instance().pending(), 0u);
    EXPECT_EQ(HostEventLoop::pump(), 0u);
}

TEST_F(AutomationEvents, StoppedUploadEndsWithItsCodeAndReleasingMidUploadNeitherHangsNorFires)
{
    FakeBus bus;
    auto device = bus.connect(2);
    advise(*device, std::make_shared<DeviceSink>(log));
    bus.fake->uploadPackets = 0; // never ends by itself
    bus.fake->packetDelay = 5ms;
    ASSERT_EQ(device->startUpload(), S_OK);
    ASSERT_TRUE(HostEventLoop::runUntil([&] { return log->count("nextPacket") >= 2; }, 3000ms));
    ASSERT_EQ(device->startUpload(), S_OK);
    EXPECT_EQ(bus.fake->initUploads.load(), 1) << "a second start while one runs starts nothing new";
    const auto stopAt = std::chrono::steady_clock::now();
    ASSERT_EQ(device->stopUpload(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1s);
    ASSERT_TRUE(HostEventLoop::runUntil([&] { return log->count("uploadFinished") == 1; }, 3000ms));
    EXPECT_EQ(log->all().back(), (Delivered{"uploadFinished", 256, 0xa01, {}}));
    std::string text;
    device->get_uploadErrorText(0xa01, text);
    EXPECT_FALSE(text.empty());

    ASSERT_EQ(device->startUpload(), S_OK);
    ASSERT_TRUE(HostEventLoop::runUntil([&] { return log->count("nextPacket") >= 4; }, 3000ms));
    const auto start = std::chrono::steady_clock::now();
    device.reset(); // joins the worker
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    const auto seen = log->all().size();
    HostEventLoop::runFor(50ms);
    EXPECT_EQ(log->all().size(), seen);
    EXPECT_EQ(log->count("uploadFinished"), 1u);
}

TEST_F(AutomationEvents, ReleasingAnInterfaceWhileItGuardsNeitherCrashesNorHangs)
{
    FakeBus bus(2);
    auto one = bus.connect(1);
    auto two = bus.connect(2);
    advise(*bus.twin, std::make_shared<InterfaceSink>(log));
    bus.twin->disableNodeGuard(one);
    bus.twin->enableNodeGuard(one, 200);
    bus.fake->silence(2);
    HostEventLoop::runFor(150ms);
    const auto start = std::chrono::steady_clock::now();
    bus.twin.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    HostEventLoop::runFor(50ms);
    // The devices outlive their interface: calls fail cleanly, saying why.
    std::int32_t value = 0;
    bus.fake->silence(1);
    EXPECT_EQ(static_cast<std::uint32_t>(one->get_Parameter(2, 1, 1, value)), 0x80040A03u);
    EXPECT_EQ(static_cast<std::uint32_t>(lastErrorInfo().code), 0x80040A03u);
    EXPECT_EQ(lastErrorInfo().description, "the interface of device 1 was released");
}

TEST_F(AutomationEvents, ScannedDevicesAreHeldUntilTheyTimeOut)
{
    FakeBus bus(2);
    // What the scan worker does for each id that answers.
    ASSERT_EQ(bus.twin->connectForScan(1), S_OK);
    ASSERT_EQ(bus.twin->connectForScan(2), S_OK);
    EXPECT_NE(bus.twin->connectForScan(3), S_OK) << "no drive 3";
    ASSERT_EQ(bus.twin->numberOfScannedDevices(), 2u);
    advise(*bus.twin, std::make_shared<InterfaceSink>(log));
    {
        std::shared_ptr<IFieldbusDevice> two;
        ASSERT_EQ(bus.twin->get_fieldbusDevice(2, two), S_OK) << "alive with no reference of the host";
        bus.twin->disableNodeGuard(two);
        ASSERT_EQ(bus.twin->enableNodeGuard(two, 200), S_OK);
    }
    bus.fake->silence(2);
    ASSERT_TRUE(HostEventLoop::runUntil([&] { return log->count("nodeGuardTimeout") == 1; }, 3000ms));
    EXPECT_EQ(bus.twin->numberOfScannedDevices(), 1u) << "the silent one is let go";
    std::shared_ptr<IFieldbusDevice> one;
    EXPECT_EQ(bus.twin->get_fieldbusDevice(1, one), S_OK);
}
