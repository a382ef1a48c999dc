// The background workers (network scan, node guarding, upload) on the scripted
// bus: notices reach the host's thread in posting order with the right numbers,
// stops are prompt, and owners that go while a worker runs neither crash nor hang.
#include <gtest/gtest.h>

#include <future>

#include "core/FieldbusDevice.h"
#include "core/NetworkScanThread.h"
#include "test_fieldbus_fakes.h"

using namespace kavreltest;
using namespace std::chrono_literals;
using Kavrel::FieldbusDevice;
using Kavrel::FieldbusInterface;
using commonbase::HostEventLoop;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto msgTimeout = FieldbusInterface::msgNodeGuardTimeout;
constexpr auto msgStepped = FieldbusInterface::msgNetworkScanStepped;
constexpr auto msgFinished = FieldbusInterface::msgNetworkScanFinished;
constexpr auto msgUploadFinished = FieldbusDevice::msgUploadFinished;
constexpr auto msgNextPacket = FieldbusDevice::msgNextPacket;

// A scan interface over range with the drives present (range given), or an
// ordinary interface with them connected unguarded; devices go before the bus.
struct Bus {
    SettingsFile settings;
    std::shared_ptr<Notices> twin = std::make_shared<Notices>();
    std::unique_ptr<FakeInterface> bus;
    std::vector<std::unique_ptr<FieldbusDevice>> devices;
    explicit Bus(std::vector<std::uint32_t> drives, const std::string& range = "")
        : bus(std::make_unique<FakeInterface>(true, !range.empty()))
    {
        bus->setMessageWindow(twin);
        if (!range.empty())
            EXPECT_EQ(bus->setScanRange(range), 0);
        else
            bus->setNodeGuardEnabled(0);
        for (auto id : drives) {
            bus->fake->addDrive(id);
            if (range.empty()) {
                EXPECT_EQ(bus->connectDevice(id, devices.emplace_back()), 0) << id;
            }
        }
        if (range.empty())
            bus->setNodeGuardEnabled(1);
    }
    ~Bus()
    {
        devices.clear();
        bus.reset();
    }
    FieldbusDevice* device(std::uint32_t id) const
    {
        for (const auto& d : devices)
            if (d && d->getUniqueId() == id)
                return d.get();
        return nullptr;
    }
    bool finished(std::chrono::milliseconds timeout = 10s) { return twin->await(msgFinished, timeout); }
};

} // namespace

TEST(NetworkScan, StepsInAscendingOrderThenOneFinishedOnTheHostThreadOneScanAtATime)
{
    Bus scan({2, 5}, "5,1-3"), other({1}, "1-2");
    const auto started = Clock::now();
    ASSERT_EQ(scan.bus->startNetworkScan(), 0);
    EXPECT_EQ(scan.bus->startNetworkScan(), FieldbusInterface::errorScanRunning);
    EXPECT_EQ(other.bus->startNetworkScan(), FieldbusInterface::errorScanRunning) << "one scan worker in the process";
    ASSERT_TRUE(scan.finished());
    EXPECT_EQ(scan.twin->of(msgStepped), (Steps{{1, 0}, {2, 1}, {3, 0}, {5, 1}}));
    EXPECT_EQ(scan.twin->notices.back().message, msgFinished) << "finished must come last";
    EXPECT_EQ(scan.twin->of(msgFinished), (Steps{{0, 0}}));
    for (const auto& notice : scan.twin->notices)
        EXPECT_EQ(notice.thread, std::this_thread::get_id()) << "notice delivered off the host thread";
    EXPECT_GE(scan.twin->notices.front().at - started, Kavrel::NetworkScanThread::startDelay);
    // The drives found stay connected, and a scan puts none under node guarding.
    EXPECT_EQ(scan.bus->getNumberOfFieldbusDevices(), 2u);
    ASSERT_NE(scan.bus->findFieldbusDeviceUniqueId(5), nullptr);
    EXPECT_EQ(scan.bus->getNodeGuardEnabled(), 0u);
    EXPECT_TRUE(scan.bus->getNodeGuardList().empty());
    HostEventLoop::runFor(50ms);
    EXPECT_EQ(scan.twin->count(msgFinished), 1u);
    EXPECT_TRUE(other.twin->notices.empty());
    ASSERT_EQ(other.bus->startNetworkScan(), 0) << "once finished, another interface's scan replaces the worker";
    ASSERT_TRUE(other.finished());
    EXPECT_EQ(other.twin->of(msgStepped), (Steps{{1, 1}, {2, 0}}));
}

TEST(NetworkScan, StopEndsPromptlyAfterTheIdBeingTriedAndStillFinishes)
{
    struct Row {
        const char* name;
        std::chrono::milliseconds stopAfter;
        std::size_t maxSteps;
    };
    for (const Row& row : {Row{"during the start delay", 200ms, 0}, Row{"mid-range", 1400ms, 8}}) {
        SCOPED_TRACE(row.name);
        Bus scan({1, 2, 3}, "1-40");
        scan.bus->fake->identifyDelay = 100ms;
        ASSERT_EQ(scan.bus->startNetworkScan(), 0);
        HostEventLoop::runFor(row.stopAfter);
        const auto asked = Clock::now();
        EXPECT_EQ(scan.bus->stopNetworkScan(), 0);
        EXPECT_LT(Clock::now() - asked, 2s) << "stop waits for one identify at most";
        ASSERT_TRUE(scan.finished(2s));
        EXPECT_LE(scan.twin->of(msgStepped).size(), row.maxSteps);
        EXPECT_EQ(scan.twin->count(msgFinished), 1u);
        EXPECT_EQ(scan.bus->startNetworkScan(), 0) << "a stopped scan is not running any more";
        scan.bus->stopNetworkScan();
    }
    struct NoProtocol : FakeInterface {
        NoProtocol() : FakeInterface(true, true) { protocol.reset(); }
    };
    SettingsFile settings;
    NoProtocol bus;
    EXPECT_EQ(bus.stopNetworkScan(), FieldbusInterface::errorNoScanWorker);
    EXPECT_EQ(bus.startNetworkScan(), FieldbusInterface::errorNoScanWorker);
}

TEST(NetworkScan, ConnectorOfTheTwinConnectsEachIdAndItsAnswerIsReported)
{
    Bus scan({}, "3-6");
    std::vector<std::uint32_t> asked;
    std::thread::id callerThread;
    scan.bus->setScanConnector([&](std::uint32_t id) {
        asked.push_back(id);
        callerThread = std::this_thread::get_id();
        return id % 2 == 0;
    });
    ASSERT_EQ(scan.bus->startNetworkScan(), 0);
    ASSERT_TRUE(scan.finished());
    EXPECT_EQ(asked, (std::vector<std::uint32_t>{3, 4, 5, 6}));
    EXPECT_NE(callerThread, std::this_thread::get_id()) << "connects run on the scan worker";
    EXPECT_EQ(scan.twin->of(msgStepped), (Steps{{3, 0}, {4, 1}, {5, 0}, {6, 1}}));
    EXPECT_EQ(scan.bus->getNumberOfFieldbusDevices(), 0u) << "the core default ran although a connector was set";
    // Observer added once, however many scans run.
    ASSERT_EQ(scan.bus->startNetworkScan(), 0);
    scan.twin->notices.clear();
    ASSERT_TRUE(scan.finished());
    EXPECT_EQ(scan.twin->of(msgStepped).size(), 4u);
}

TEST(NetworkScan, InterfaceOrTwinGoingDuringAScanNeitherCrashesNorHangs)
{
    for (int variant = 0; variant < 3; ++variant) {
        auto scan = std::make_unique<Bus>(std::vector<std::uint32_t>{1, 2, 3, 4}, "1-30");
        scan->bus->fake->identifyDelay = 30ms;
        ASSERT_EQ(scan->bus->startNetworkScan(), 0);
        HostEventLoop::runFor(variant == 0 ? 100ms : 1250ms);
        if (variant == 2) {
            scan->twin.reset(); // pending notices are purged, later ones dropped
            HostEventLoop::runFor(100ms);
        }
        const auto asked = Clock::now();
        scan->bus.reset();
        EXPECT_LT(Clock::now() - asked, 2s) << variant;
        HostEventLoop::runFor(50ms);
        if (scan->twin) {
            EXPECT_LE(scan->twin->count(msgFinished), 1u);
        }
        scan.reset();
        Bus next({1}, "1");
        EXPECT_EQ(next.bus->startNetworkScan(), 0) << "the slot is free again: " << variant;
        EXPECT_TRUE(next.finished()) << variant;
    }
}

TEST(NetworkScan, WithTheProgressDialogHeadlessRunsTheScanToItsEnd)
{
    Bus scan({2}, "1-3");
    EXPECT_EQ(scan.bus->startNetworkScanWithDialog(), 0);
    HostEventLoop::runFor(50ms);
    EXPECT_EQ(scan.twin->of(msgStepped), (Steps{{1, 0}, {2, 1}, {3, 0}}));
    EXPECT_EQ(scan.twin->count(msgFinished), 1u);
    EXPECT_EQ(scan.bus->getNumberOfFieldbusDevices(), 1u);
    EXPECT_EQ(scan.bus->startNetworkScan(), 0) << "the dialog's scan still counts as running";
    EXPECT_TRUE(scan.finished());
}

TEST(NodeGuard, SilentDriveIsReportedOnceAndTheOthersStayGuarded)
{
    Bus guard({1, 2, 3});
    for (auto id : {1u, 2u, 3u})
        ASSERT_EQ(guard.bus->enableNodeGuard(guard.device(id), 200), 0) << id;
    HostEventLoop::runFor(350ms);
    EXPECT_EQ(guard.twin->count(msgTimeout), 0u);
    const int readsBefore = guard.bus->fake->readsOf(1);
    guard.bus->fake->silence(2);
    ASSERT_TRUE(guard.twin->await(msgTimeout, 3s));
    EXPECT_TRUE(HostEventLoop::runUntil([&] { return guard.bus->fake->readsOf(1) > readsBefore + 2; }, 5s))
        << "the others stopped being polled";
    ASSERT_EQ(guard.twin->of(msgTimeout), (Steps{{2, 0}})) << "a silent drive is reported exactly once";
    EXPECT_EQ(guard.twin->notices.front().thread, std::this_thread::get_id());
    EXPECT_FALSE(guard.bus->hasFieldbusDevice(guard.device(2)));
    EXPECT_FALSE(guard.bus->isNodeGuarded(guard.device(2)));
    EXPECT_TRUE(guard.bus->isNodeGuarded(guard.device(1)) && guard.bus->isNodeGuarded(guard.device(3)));
}

TEST(NodeGuard, SignOfLifeIsTwoBytesAtOneOneAndDisableSwitchesTheDriveOff)
{
    Bus guard({4});
    FieldbusDevice* device = guard.device(4);
    ASSERT_EQ(guard.bus->enableNodeGuard(device, 1000), 0);
    // Polled once per period (500 ms), give or take the 100 ms wake step.
    const int before = guard.bus->fake->readsOf(4);
    std::this_thread::sleep_for(2200ms);
    const int polls = guard.bus->fake->readsOf(4) - before;
    EXPECT_GE(polls, 3);
    EXPECT_LE(polls, 5);
    EXPECT_EQ(guard.bus->disableNodeGuard(device), 0);
    for (const auto& r : guard.bus->fake->readsAsked())
        EXPECT_EQ(std::tuple(r.size, r.index, r.sub), std::tuple(2u, 1, 1));
    std::vector<std::uint32_t> intervals;
    for (const auto& w : guard.bus->fake->writes())
        if (w.id == 4 && w.index == 22 && w.sub == 6)
            intervals.push_back(w.value);
    EXPECT_EQ(intervals, (std::vector<std::uint32_t>{1000, 0})) << "disable switches the drive's own watching off";
    const int afterDisable = guard.bus->fake->readsOf(4);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(guard.bus->fake->readsOf(4), afterDisable) << "polled after disable";
}

TEST(NodeGuard, BusyDeviceIsNeverPolled)
{
    Bus guard({6});
    FieldbusDevice* device = guard.device(6);
    ASSERT_EQ(guard.bus->enableNodeGuard(device, 600), 0); // period 300 ms
    int hostReads = 0;
    const int before = guard.bus->fake->readsOf(6);
    for (const auto end = Clock::now() + 1500ms; Clock::now() < end; ++hostReads) {
        std::uint32_t value = 0;
        ASSERT_EQ(device->getParameter(2, 7, 7, value), 1);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(guard.bus->fake->readsOf(6) - before, hostReads) << "the worker polled a busy device";
}

TEST(NodeGuard, EnableRefusalsAndRestartAfterDisable)
{
    Bus guard({1, 2}), otherBus({3});
    struct Row {
        const char* name;
        FieldbusDevice* device;
        std::uint32_t enabled;
        std::int32_t expected;
    };
    ASSERT_EQ(guard.bus->enableNodeGuard(guard.device(1), 0), 0);
    for (const Row& row : {Row{"switched off", guard.device(2), 0, FieldbusInterface::errorNodeGuardOff},
                           Row{"device of another interface", otherBus.device(3), 1,
                               FieldbusInterface::errorNotConnectedHere},
                           Row{"no device", nullptr, 1, FieldbusInterface::errorNotConnectedHere},
                           Row{"already guarded", guard.device(1), 1, FieldbusInterface::errorAlreadyGuarded}}) {
        guard.bus->setNodeGuardEnabled(row.enabled);
        EXPECT_EQ(guard.bus->enableNodeGuard(row.device, 0), row.expected) << row.name;
    }
    EXPECT_FALSE(guard.bus->isNodeGuarded(guard.device(2)));
    EXPECT_EQ(guard.device(1)->getNodeGuardPeriod(), 2500ms) << "interval 0 is the interface's own";
    // Guarding the only device, disabling it and guarding another runs the worker again.
    guard.bus->setNodeGuardEnabled(1);
    EXPECT_EQ(guard.bus->disableNodeGuard(guard.device(1)), 0);
    ASSERT_EQ(guard.bus->enableNodeGuard(guard.device(2), 200), 0);
    guard.bus->fake->silence(2);
    EXPECT_TRUE(HostEventLoop::runUntil([&] { return guard.twin->count(msgTimeout) == 1; }, 3s));
    // The drive refusing the interval still guards it, with the generic failure.
    otherBus.bus->fake->refuseWrites = true;
    EXPECT_EQ(otherBus.bus->enableNodeGuard(otherBus.device(3), 300), FieldbusInterface::errorFail);
    EXPECT_TRUE(otherBus.bus->isNodeGuarded(otherBus.device(3)));
}

TEST(NodeGuard, OwnersGoingWhileTheWorkerRunsNeitherCrashNorHang)
{
    for (int variant = 0; variant < 3; ++variant) {
        auto guard = std::make_unique<Bus>(std::vector<std::uint32_t>{1, 2, 3, 4});
        for (auto id : {1u, 2u, 3u, 4u})
            ASSERT_EQ(guard->bus->enableNodeGuard(guard->device(id), 100), 0);
        guard->bus->fake->silence(3);
        std::this_thread::sleep_for(std::chrono::milliseconds(30 * variant));
        const auto asked = Clock::now();
        if (variant == 0) {
            guard->bus.reset(); // interface first: its devices are detached
        } else if (variant == 1) {
            guard->devices.clear(); // devices first, while the worker reads them
        } else {
            guard->twin.reset(); // the twin first: its notices are dropped
            std::this_thread::sleep_for(300ms);
        }
        guard.reset();
        EXPECT_LT(Clock::now() - asked, 2s) << variant;
        HostEventLoop::runFor(20ms);
    }
}

namespace {

struct UploadDrive : Bus {
    FieldbusDevice* device;
    FakeProtocol& fake;
    UploadDrive() : Bus({9}), device(Bus::device(9)), fake(*bus->fake) { device->setMessageWindow(twin); }
    bool finished() { return twin->await(msgUploadFinished, 5s); }
    std::int32_t result() const { return twin->notices.back().second; }
};

} // namespace

TEST(Upload, PacketsCountFromOneAndTheFinishedNoticeCarriesTheResult)
{
    struct Row {
        const char* name;
        std::uint32_t packets, failAt, failCode;
        std::vector<std::int32_t> nextPackets;
        std::uint32_t result; // of the finished notice, which comes last
        std::string buffer;
    };
    const std::vector<Row> rows = {
        {"three packets", 3, 0, 0, {2, 3}, 0, "P1P2P3"},
        {"first is last", 1, 0, 0, {}, 0, "P1"},
        {"protocol error ends it", 0, 3, 0x80040603u, {2, 3}, 0x80040603u, "P1P2"},
        {"generic failure ends it", 0, 2, 0x80004005u, {2}, 0x80004005u, "P1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        UploadDrive drive;
        drive.fake.uploadPackets = row.packets;
        drive.fake.failAtPacket = row.failAt;
        drive.fake.failCode = row.failCode;
        ASSERT_EQ(drive.device->startUpload(), 1);
        ASSERT_TRUE(drive.finished());
        HostEventLoop::runFor(30ms);
        Steps next;
        for (auto packet : row.nextPackets)
            next.emplace_back(FieldbusDevice::uploadSessionId, packet);
        EXPECT_EQ(drive.twin->of(msgNextPacket), next);
        EXPECT_EQ(drive.twin->of(msgUploadFinished), (Steps{{256, static_cast<std::int32_t>(row.result)}}));
        EXPECT_EQ(drive.twin->notices.back().message, msgUploadFinished);
        EXPECT_EQ(drive.device->getUploadBuffer(), row.buffer);
        EXPECT_EQ(static_cast<std::uint32_t>(drive.device->getUploadResult()), row.result);
        EXPECT_EQ(drive.fake.lastSession.load(), 256u);
    }
}

TEST(Upload, FailedStartAndLostDrive)
{
    {
        UploadDrive drive;
        drive.fake.initUploadResult = 0;
        ASSERT_EQ(drive.device->startUpload(), 1);
        ASSERT_TRUE(drive.finished());
        EXPECT_EQ(drive.result(), FieldbusDevice::uploadStartFailed);
        EXPECT_EQ(drive.fake.getUploads.load(), 0) << "getUpload after a failed start";
        EXPECT_EQ(drive.twin->count(msgNextPacket), 0u);
    }
    {
        UploadDrive drive; // lost mid-upload: the loop ends with the last getUpload result
        drive.fake.uploadPackets = 0;
        drive.fake.packetDelay = 10ms;
        ASSERT_EQ(drive.device->startUpload(), 1);
        HostEventLoop::runFor(60ms);
        drive.fake.silence(9);
        ASSERT_TRUE(drive.finished());
        EXPECT_EQ(static_cast<std::uint32_t>(drive.result()), FakeProtocol::errorSilent);
    }
}

TEST(Upload, ReadingTheBufferDoesNotWaitForAPacketOnTheBus)
{
    UploadDrive drive;
    drive.fake.uploadPackets = 0;
    drive.fake.packetDelay = 2500ms; // the worker holds the device and the bus this long per packet
    ASSERT_EQ(drive.device->startUpload(), 1);
    ASSERT_TRUE(HostEventLoop::runUntil([&] { return drive.fake.getUploads.load() >= 2; }, 10s));
    auto read = std::async(std::launch::async, [&] { return drive.device->getUploadBuffer(); });
    ASSERT_EQ(read.wait_for(1500ms), std::future_status::ready) << "the buffer waited for the packet in flight";
    EXPECT_EQ(read.get(), "P1");
    EXPECT_EQ(drive.device->stopUpload(), 1);
}
