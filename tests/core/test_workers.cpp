// The background workers on a scripted bus: network scan, node guarding and
// upload. Notices must reach the host's thread in posting order with the right
// numbers, stops must be prompt, and owners that go while a worker runs must
// neither crash nor hang.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

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

// A twin's window: what arrived, on which thread, and when.
class Twin : public commonbase::MessageWindow {
public:
    struct Notice {
        std::uint32_t message;
        std::int32_t first, second;
        std::thread::id thread;
        Clock::time_point at;
    };
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override
    {
        notices.push_back({message, first, second, std::this_thread::get_id(), Clock::now()});
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

constexpr std::uint32_t msgTimeout = FieldbusInterface::msgNodeGuardTimeout;
constexpr std::uint32_t msgStepped = FieldbusInterface::msgNetworkScanStepped;
constexpr std::uint32_t msgFinished = FieldbusInterface::msgNetworkScanFinished;
constexpr std::uint32_t msgUploadFinished = FieldbusDevice::msgUploadFinished;
constexpr std::uint32_t msgNextPacket = FieldbusDevice::msgNextPacket;

// A scan interface on the fake bus with its twin's window linked.
struct ScanBus {
    SettingsFile settings;
    std::shared_ptr<Twin> twin = std::make_shared<Twin>();
    std::unique_ptr<FakeInterface> bus = std::make_unique<FakeInterface>(true, true);
    ScanBus(const std::string& range, std::vector<std::uint32_t> present)
    {
        bus->setMessageWindow(twin);
        EXPECT_EQ(bus->setScanRange(range), 0);
        for (auto id : present)
            bus->fake->addDrive(id);
    }
    bool finished(std::chrono::milliseconds timeout = 10s)
    {
        return commonbase::HostEventLoop::runUntil([&] { return twin->count(msgFinished) > 0; }, timeout);
    }
};

// An ordinary interface with connected drives; devices go before the bus.
struct GuardBus {
    SettingsFile settings;
    std::shared_ptr<Twin> twin = std::make_shared<Twin>();
    std::unique_ptr<FakeInterface> bus = std::make_unique<FakeInterface>();
    std::vector<std::unique_ptr<FieldbusDevice>> devices;
    explicit GuardBus(std::vector<std::uint32_t> ids, bool guard = false)
    {
        bus->setMessageWindow(twin);
        if (!guard)
            bus->setNodeGuardEnabled(0);
        for (auto id : ids) {
            bus->fake->addDrive(id);
            std::unique_ptr<FieldbusDevice> device;
            EXPECT_EQ(bus->connectDevice(id, device), 0) << id;
            devices.push_back(std::move(device));
        }
        bus->setNodeGuardEnabled(1);
    }
    ~GuardBus()
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
};

std::vector<std::pair<std::int32_t, std::int32_t>> steps(const Twin& twin)
{
    std::vector<std::pair<std::int32_t, std::int32_t>> out;
    for (const auto& notice : twin.notices)
        if (notice.message == msgStepped)
            out.emplace_back(notice.first, notice.second);
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Network scan

TEST(NetworkScan, StepsInAscendingOrderThenOneFinishedOnTheHostThread)
{
    ScanBus scan("5,1-3", {2, 5});
    const auto started = Clock::now();
    ASSERT_EQ(scan.bus->startNetworkScan(), 0);
    ASSERT_TRUE(scan.finished());
    using Step = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(steps(*scan.twin), (std::vector<Step>{{1, 0}, {2, 1}, {3, 0}, {5, 1}}));
    ASSERT_FALSE(scan.twin->notices.empty());
    EXPECT_EQ(scan.twin->notices.back().message, msgFinished) << "finished must come last";
    EXPECT_EQ(scan.twin->notices.back().first, 0);
    EXPECT_EQ(scan.twin->notices.back().second, 0);
    for (const auto& notice : scan.twin->notices)
        EXPECT_EQ(notice.thread, std::this_thread::get_id()) << "notice delivered off the host thread";
    EXPECT_GE(scan.twin->notices.front().at - started, Kavrel::NetworkScanThread::startDelay)
        << "the first id was tried before the start delay";
    // The drives found stay connected, and a scan puts none under node guarding.
    EXPECT_EQ(scan.bus->getNumberOfFieldbusDevices(), 2u);
    ASSERT_NE(scan.bus->findFieldbusDeviceUniqueId(5), nullptr);
    EXPECT_EQ(scan.bus->getNodeGuardEnabled(), 0u);
    EXPECT_TRUE(scan.bus->getNodeGuardList().empty());
    commonbase::HostEventLoop::runFor(50ms);
    EXPECT_EQ(scan.twin->count(msgFinished), 1u);
}

TEST(NetworkScan, SecondStartWhileRunningIsRefusedAndLeavesTheScanAlone)
{
    ScanBus scan("1-4", {3});
    ScanBus other("1-2", {1});
    ASSERT_EQ(scan.bus->startNetworkScan(), 0);
    EXPECT_EQ(scan.bus->startNetworkScan(), FieldbusInterface::errorScanRunning);
    // Another interface may not start one either: one scan worker in the process.
    EXPECT_EQ(other.bus->startNetworkScan(), FieldbusInterface::errorScanRunning);
    ASSERT_TRUE(scan.finished());
    EXPECT_EQ(steps(*scan.twin).size(), 4u);
    EXPECT_TRUE(other.twin->notices.empty());
    // Once finished, the other interface's scan replaces the worker.
    ASSERT_EQ(other.bus->startNetworkScan(), 0);
    ASSERT_TRUE(other.finished());
    using Step = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(steps(*other.twin), (std::vector<Step>{{1, 1}, {2, 0}}));
}

TEST(NetworkScan, StopEndsPromptlyAfterTheIdBeingTriedAndStillFinishes)
{
    struct Row {
        const char* name;
        std::chrono::milliseconds stopAfter;
        std::size_t maxSteps;
    };
    for (const Row& row : {Row{"during the start delay", 200ms, 0}, Row{"mid-range", 1400ms, 8}}) {
        ScanBus scan("1-40", {1, 2, 3});
        scan.bus->fake->identifyDelay = 100ms;
        ASSERT_EQ(scan.bus->startNetworkScan(), 0) << row.name;
        commonbase::HostEventLoop::runFor(row.stopAfter);
        const auto asked = Clock::now();
        EXPECT_EQ(scan.bus->stopNetworkScan(), 0) << row.name;
        // stop waits for the routine: at most the id being tried (one identify) later.
        EXPECT_LT(Clock::now() - asked, 2s) << row.name;
        ASSERT_TRUE(scan.finished(2s)) << row.name;
        EXPECT_LE(steps(*scan.twin).size(), row.maxSteps) << row.name;
        EXPECT_EQ(scan.twin->count(msgFinished), 1u) << row.name;
        EXPECT_EQ(scan.bus->startNetworkScan(), 0) << "a stopped scan is not running any more";
        scan.bus->stopNetworkScan();
    }
}

TEST(NetworkScan, StopWithoutWorkerAndScanWithoutProtocolAreErrors)
{
    struct NoProtocol : FakeInterface {
        NoProtocol() : FakeInterface(true, true) { protocol.reset(); }
    };
    SettingsFile settings;
    NoProtocol bus;
    EXPECT_EQ(bus.stopNetworkScan(), FieldbusInterface::errorNoScanWorker);
    EXPECT_EQ(bus.startNetworkScan(), FieldbusInterface::errorNoScanWorker);
    EXPECT_EQ(bus.stopNetworkScan(), FieldbusInterface::errorNoScanWorker);
}

TEST(NetworkScan, ConnectorOfTheTwinConnectsEachIdAndItsAnswerIsReported)
{
    ScanBus scan("3-6", {});
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
    using Step = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(steps(*scan.twin), (std::vector<Step>{{3, 0}, {4, 1}, {5, 0}, {6, 1}}));
    EXPECT_EQ(scan.bus->getNumberOfFieldbusDevices(), 0u) << "the core default ran although a connector was set";
    // Observer added once, however many scans run.
    ASSERT_EQ(scan.bus->startNetworkScan(), 0);
    scan.twin->notices.clear();
    ASSERT_TRUE(scan.finished());
    EXPECT_EQ(steps(*scan.twin).size(), 4u);
}

TEST(NetworkScan, InterfaceOrTwinGoingDuringAScanNeitherCrashesNorHangs)
{
    for (int variant = 0; variant < 3; ++variant) {
        auto scan = std::make_unique<ScanBus>("1-30", std::vector<std::uint32_t>{1, 2, 3, 4});
        scan->bus->fake->identifyDelay = 30ms;
        ASSERT_EQ(scan->bus->startNetworkScan(), 0);
        commonbase::HostEventLoop::runFor(variant == 0 ? 100ms : 1250ms);
        if (variant == 2) {
            // The twin goes first: its pending notices are purged, later ones dropped.
            scan->twin.reset();
            commonbase::HostEventLoop::runFor(100ms);
        }
        const auto asked = Clock::now();
        scan->bus.reset();
        EXPECT_LT(Clock::now() - asked, 2s) << variant;
        commonbase::HostEventLoop::runFor(50ms);
        if (scan->twin) {
            EXPECT_LE(scan->twin->count(msgFinished), 1u);
        }
        scan.reset();
        // The slot is free again for the next scan.
        ScanBus next("1", {1});
        EXPECT_EQ(next.bus->startNetworkScan(), 0) << variant;
        EXPECT_TRUE(next.finished()) << variant;
    }
}

// ---------------------------------------------------------------------------
// Node guarding

TEST(NodeGuard, SilentDriveIsReportedOnceAndTheOthersStayGuarded)
{
    GuardBus guard({1, 2, 3}, false);
    for (auto id : {1u, 2u, 3u})
        ASSERT_EQ(guard.bus->enableNodeGuard(guard.device(id), 200), 0) << id;
    commonbase::HostEventLoop::runFor(350ms);
    EXPECT_EQ(guard.twin->count(msgTimeout), 0u);
    const int readsBefore = guard.bus->fake->readsOf(1);
    guard.bus->fake->silence(2);
    ASSERT_TRUE(commonbase::HostEventLoop::runUntil([&] { return guard.twin->count(msgTimeout) > 0; }, 3s));
    // The others go on being polled (bounded wait: a loaded machine stretches the rounds).
    EXPECT_TRUE(commonbase::HostEventLoop::runUntil([&] { return guard.bus->fake->readsOf(1) > readsBefore + 2; }, 5s))
        << "the others stopped being polled";
    ASSERT_EQ(guard.twin->count(msgTimeout), 1u) << "a silent drive must be reported exactly once";
    const auto& notice = guard.twin->notices.front();
    EXPECT_EQ(notice.first, 2);
    EXPECT_EQ(notice.second, 0);
    EXPECT_EQ(notice.thread, std::this_thread::get_id());
    EXPECT_FALSE(guard.bus->hasFieldbusDevice(guard.device(2)));
    EXPECT_FALSE(guard.bus->isNodeGuarded(guard.device(2)));
    EXPECT_TRUE(guard.bus->isNodeGuarded(guard.device(1)));
    EXPECT_TRUE(guard.bus->isNodeGuarded(guard.device(3)));
}

TEST(NodeGuard, SignOfLifeIsTwoBytesAtOneOneAndTheIntervalGoesToTwentyTwoSix)
{
    GuardBus guard({4}, false);
    FieldbusDevice* device = guard.device(4);
    ASSERT_EQ(guard.bus->enableNodeGuard(device, 1000), 0);
    EXPECT_EQ(device->getNodeGuardPeriod(), 500ms);
    // Polled once per period (500 ms), give or take the 100 ms wake step.
    const int before = guard.bus->fake->readsOf(4);
    std::this_thread::sleep_for(2200ms);
    const int polls = guard.bus->fake->readsOf(4) - before;
    EXPECT_GE(polls, 3);
    EXPECT_LE(polls, 5);
    EXPECT_EQ(guard.bus->disableNodeGuard(device), 0);
    for (const auto& r : guard.bus->fake->readsAsked()) {
        EXPECT_EQ(r.size, 2u);
        EXPECT_EQ(r.index, 1u);
        EXPECT_EQ(r.sub, 1u);
    }
    std::vector<FakeProtocol::Write> intervals;
    for (const auto& w : guard.bus->fake->writes())
        if (w.id == 4)
            intervals.push_back(w);
    ASSERT_EQ(intervals.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(intervals[i].size, 2u);
        EXPECT_EQ(intervals[i].index, 22u);
        EXPECT_EQ(intervals[i].sub, 6u);
    }
    EXPECT_EQ(intervals[0].value, 1000u);
    EXPECT_EQ(intervals[1].value, 0u) << "disable must switch the drive's own watching off";
    const int afterDisable = guard.bus->fake->readsOf(4);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(guard.bus->fake->readsOf(4), afterDisable) << "polled after disable";
}

TEST(NodeGuard, BusyDeviceIsNeverPolled)
{
    GuardBus guard({6}, false);
    FieldbusDevice* device = guard.device(6);
    ASSERT_EQ(guard.bus->enableNodeGuard(device, 600), 0); // period 300 ms
    int hostReads = 0;
    const auto end = Clock::now() + 1500ms;
    const int before = guard.bus->fake->readsOf(6);
    while (Clock::now() < end) {
        std::uint32_t value = 0;
        ASSERT_EQ(device->getParameter(2, 7, 7, value), 1);
        ++hostReads;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(guard.bus->fake->readsOf(6) - before, hostReads) << "the worker polled a busy device";
}

TEST(NodeGuard, EnableRefusalsAndRestartAfterDisable)
{
    GuardBus guard({1, 2}, false);
    GuardBus otherBus({3}, false);
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
    // Interval 0 is the interface's own (5000 ms by default).
    EXPECT_EQ(guard.device(1)->getNodeGuardPeriod(), 2500ms);
    // Guarding the only device, disabling it and guarding another runs the worker again.
    guard.bus->setNodeGuardEnabled(1);
    EXPECT_EQ(guard.bus->disableNodeGuard(guard.device(1)), 0);
    ASSERT_EQ(guard.bus->enableNodeGuard(guard.device(2), 200), 0);
    guard.bus->fake->silence(2);
    EXPECT_TRUE(commonbase::HostEventLoop::runUntil([&] { return guard.twin->count(msgTimeout) == 1; }, 3s));
    // The drive refusing the interval still guards it, with the generic failure.
    otherBus.bus->fake->refuseWrites = true;
    EXPECT_EQ(otherBus.bus->enableNodeGuard(otherBus.device(3), 300), FieldbusInterface::errorFail);
    EXPECT_TRUE(otherBus.bus->isNodeGuarded(otherBus.device(3)));
}

TEST(NodeGuard, OwnersGoingWhileTheWorkerRunsNeitherCrashNorHang)
{
    for (int variant = 0; variant < 3; ++variant) {
        auto guard = std::make_unique<GuardBus>(std::vector<std::uint32_t>{1, 2, 3, 4}, false);
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
        commonbase::HostEventLoop::runFor(20ms);
    }
}

// ---------------------------------------------------------------------------
// Upload

struct UploadDrive {
    GuardBus guard{{9}};
    std::shared_ptr<Twin> twin = std::make_shared<Twin>();
    FieldbusDevice* device;
    UploadDrive() : device(guard.device(9)) { device->setMessageWindow(twin); }
    FakeProtocol& fake() { return *guard.bus->fake; }
    bool finished(std::chrono::milliseconds timeout = 5s)
    {
        return commonbase::HostEventLoop::runUntil([&] { return twin->count(msgUploadFinished) > 0; }, timeout);
    }
};

TEST(Upload, PacketsCountFromOneAndTheFinishedNoticeCarriesTheResult)
{
    struct Row {
        const char* name;
        std::uint32_t packets;
        std::uint32_t failAt;
        std::uint32_t failCode;
        std::vector<std::int32_t> nextPackets;
        std::int32_t result;
        std::string buffer;
    };
    const std::vector<Row> rows = {
        {"three packets", 3, 0, 0, {2, 3}, 0, "P1P2P3"},
        {"first is last", 1, 0, 0, {}, 0, "P1"},
        {"protocol error ends it", 0, 3, 0x80040603u, {2, 3}, static_cast<std::int32_t>(0x80040603u), "P1P2"},
        {"generic failure ends it", 0, 2, 0x80004005u, {2}, static_cast<std::int32_t>(0x80004005u), "P1"},
    };
    for (const Row& row : rows) {
        UploadDrive drive;
        drive.fake().uploadPackets = row.packets;
        drive.fake().failAtPacket = row.failAt;
        drive.fake().failCode = row.failCode;
        ASSERT_EQ(drive.device->startUpload(), 1) << row.name;
        ASSERT_TRUE(drive.finished()) << row.name;
        commonbase::HostEventLoop::runFor(30ms);
        std::vector<std::int32_t> next;
        for (const auto& notice : drive.twin->notices) {
            EXPECT_EQ(notice.first, FieldbusDevice::uploadSessionId) << row.name;
            EXPECT_EQ(notice.thread, std::this_thread::get_id()) << row.name;
            if (notice.message == msgNextPacket)
                next.push_back(notice.second);
        }
        EXPECT_EQ(next, row.nextPackets) << row.name;
        ASSERT_EQ(drive.twin->count(msgUploadFinished), 1u) << row.name;
        EXPECT_EQ(drive.twin->notices.back().message, msgUploadFinished) << row.name;
        EXPECT_EQ(drive.twin->notices.back().second, row.result) << row.name;
        EXPECT_EQ(drive.device->getUploadBuffer(), row.buffer) << row.name;
        EXPECT_EQ(drive.fake().lastSession.load(), 256u) << row.name;
    }
}

TEST(Upload, StopFailedStartAndSecondStart)
{
    {
        UploadDrive drive;
        drive.fake().uploadPackets = 0; // never ends by itself
        drive.fake().packetDelay = 20ms;
        ASSERT_EQ(drive.device->startUpload(), 1);
        commonbase::HostEventLoop::runFor(120ms);
        // A second start while one runs starts nothing new.
        EXPECT_EQ(drive.device->startUpload(), 1);
        EXPECT_EQ(drive.fake().initUploads.load(), 1);
        const auto asked = Clock::now();
        EXPECT_EQ(drive.device->stopUpload(), 1);
        EXPECT_LT(Clock::now() - asked, 1s);
        ASSERT_TRUE(drive.finished());
        EXPECT_EQ(drive.twin->notices.back().second, FieldbusDevice::uploadStopped);
        EXPECT_EQ(drive.device->getUploadResult(), 0xa01);
    }
    {
        UploadDrive drive;
        drive.fake().initUploadResult = 0;
        ASSERT_EQ(drive.device->startUpload(), 1);
        ASSERT_TRUE(drive.finished());
        EXPECT_EQ(drive.twin->notices.back().second, FieldbusDevice::uploadStartFailed);
        EXPECT_EQ(drive.fake().getUploads.load(), 0) << "getUpload after a failed start";
        EXPECT_EQ(drive.twin->count(msgNextPacket), 0u);
    }
    {
        // A drive lost mid-upload ends the loop with the last getUpload result.
        UploadDrive drive;
        drive.fake().uploadPackets = 0;
        drive.fake().packetDelay = 10ms;
        ASSERT_EQ(drive.device->startUpload(), 1);
        commonbase::HostEventLoop::runFor(60ms);
        drive.fake().silence(9);
        ASSERT_TRUE(drive.finished());
        EXPECT_EQ(drive.twin->notices.back().second, static_cast<std::int32_t>(FakeProtocol::errorSilent));
    }
    {
        // No worker yet: stop has nothing to stop.
        UploadDrive drive;
        EXPECT_EQ(drive.device->stopUpload(), 0);
    }
}

TEST(Upload, ReadingTheBufferDoesNotWaitForAPacketOnTheBus)
{
    UploadDrive drive;
    drive.fake().uploadPackets = 0;
    drive.fake().packetDelay = 2500ms; // the worker holds the device and the bus this long per packet
    ASSERT_EQ(drive.device->startUpload(), 1);
    ASSERT_TRUE(HostEventLoop::runUntil([&] { return drive.fake().getUploads.load() >= 2; }, 10s));
    auto read = std::async(std::launch::async, [&] { return drive.device->getUploadBuffer(); });
    ASSERT_EQ(read.wait_for(1500ms), std::future_status::ready) << "the buffer waited for the packet in flight";
    EXPECT_EQ(read.get(), "P1");
    EXPECT_EQ(drive.device->stopUpload(), 1);
}

TEST(Upload, DeviceGoingMidUploadNeitherCrashesNorHangs)
{
    UploadDrive drive;
    drive.fake().uploadPackets = 0;
    drive.fake().packetDelay = 10ms;
    ASSERT_EQ(drive.device->startUpload(), 1);
    commonbase::HostEventLoop::runFor(50ms);
    const auto asked = Clock::now();
    drive.guard.devices.clear();
    EXPECT_LT(Clock::now() - asked, 1s);
    commonbase::HostEventLoop::runFor(30ms);
    EXPECT_EQ(drive.twin->count(msgUploadFinished), 1u);
}

TEST(NetworkScan, WithTheProgressDialogHeadlessRunsTheScanToItsEnd)
{
    ScanBus scan("1-3", {2});
    EXPECT_EQ(scan.bus->startNetworkScanWithDialog(), 0);
    // The dialog returned after the finished notice; the twin got the scan's notices as well.
    commonbase::HostEventLoop::runFor(50ms);
    using Step = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(steps(*scan.twin), (std::vector<Step>{{1, 0}, {2, 1}, {3, 0}}));
    EXPECT_EQ(scan.twin->count(msgFinished), 1u);
    EXPECT_EQ(scan.bus->getNumberOfFieldbusDevices(), 1u);
    EXPECT_EQ(scan.bus->startNetworkScan(), 0) << "the dialog's scan still counts as running";
    EXPECT_TRUE(scan.finished());
}
