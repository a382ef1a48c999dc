// Shared pieces of the automation tests: recording event sinks and an
// interface twin over the scriptable fake bus of the core tests.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "automation/CFieldbusDevice.h"
#include "automation/CFieldbusInterface.h"
#include "automation/ErrorInfo.h"
#include "automation/IFieldbusDeviceEvent.h"
#include "automation/IFieldbusInterfaceEvent.h"
#include "commonbase/HostEventLoop.h"
#include "core/FieldbusDevice.h"
#include "core/test_fieldbus_fakes.h"

namespace kavreltest {

// One delivered event: which, its two numbers and the thread it came on.
struct Delivered {
    std::string name;
    std::int32_t first = 0, second = 0;
    std::thread::id thread;
    bool operator==(const Delivered& o) const { return name == o.name && first == o.first && second == o.second; }
};

// Both sink kinds into one shared log, so the order across objects shows.
class EventLog {
public:
    void add(const std::string& name, std::int32_t first, std::int32_t second)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back({name, first, second, std::this_thread::get_id()});
    }
    std::vector<Delivered> all() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::size_t count(const std::string& name) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<std::size_t>(
            std::count_if(events.begin(), events.end(), [&](const Delivered& e) { return e.name == name; }));
    }

private:
    mutable std::mutex mutex;
    std::vector<Delivered> events;
};

class InterfaceSink : public Kavrel::IFieldbusInterfaceEvent {
public:
    explicit InterfaceSink(std::shared_ptr<EventLog> log_, std::string tag_ = "") : log(std::move(log_)), tag(std::move(tag_)) {}
    void onNodeGuardTimeout(std::int32_t id) override { log->add(tag + "nodeGuardTimeout", id, 0); }
    void onNetworkScanStepped(std::int32_t id, std::int32_t success) override { log->add(tag + "stepped", id, success); }
    void onNetworkScanFinished() override { log->add(tag + "finished", 0, 0); }
    std::shared_ptr<EventLog> log;
    std::string tag;
};

class DeviceSink : public Kavrel::IFieldbusDeviceEvent {
public:
    explicit DeviceSink(std::shared_ptr<EventLog> log_) : log(std::move(log_)) {}
    void onUploadFinished(std::int32_t session, std::int32_t error) override { log->add("uploadFinished", session, error); }
    void onNextPacket(std::int32_t session, std::int32_t packet) override { log->add("nextPacket", session, packet); }
    std::shared_ptr<EventLog> log;
};

// An interface twin over a FakeInterface; drives 1..drives answer.
struct FakeBus {
    explicit FakeBus(std::uint32_t drives = 3)
    {
        auto made = std::make_unique<FakeInterface>();
        core = made.get();
        fake = made->fake;
        for (std::uint32_t id = 1; id <= drives; ++id)
            fake->addDrive(id);
        twin = Kavrel::CFieldbusInterface::create(std::move(made));
    }
    std::shared_ptr<Kavrel::IFieldbusDevice> connect(std::int32_t id)
    {
        std::shared_ptr<Kavrel::IFieldbusDevice> device;
        return twin->connectDeviceWithId(id, device) == Kavrel::S_OK ? device : nullptr;
    }
    FakeInterface* core = nullptr;
    std::shared_ptr<FakeProtocol> fake;
    std::shared_ptr<Kavrel::CFieldbusInterface> twin;
};

// Advises the sink to the object; the cookie.
template <class Target, class Sink> std::uint32_t advise(Target& target, std::shared_ptr<Sink> sink)
{
    std::uint32_t cookie = 0;
    EXPECT_EQ(target.advise(std::move(sink), cookie), Kavrel::S_OK);
    return cookie;
}

// Empties the host queue so one test's leftovers never reach the next.
inline void drainHostQueue()
{
    for (int i = 0; i < 5 && commonbase::HostEventLoop::pump() > 0; ++i) {
    }
}

} // namespace kavreltest
