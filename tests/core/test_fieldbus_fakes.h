// A scriptable bus for the core tests: a protocol whose drives live in a map,
// an interface made of it and a counting hardware interface, and a window that
// records what workers post to it.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "commonbase/HostEventLoop.h"
#include "commonbase/MessageWindow.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocol.h"
#include "support/TestSupport.h"

namespace kavreltest {

class FakeHardware : public Kavrel::HardwareInterface {
public:
    explicit FakeHardware(std::uint32_t id, std::string portName)
    {
        number = id;
        name = nameToOpen = portName;
    }
    std::int32_t getAvailableInterfaces(Kavrel::HardwareInterfaceList&) override { return 0; }
    std::int32_t openInterface() override { return 1; }
    std::int32_t closeInterface() override { return 0; }
    std::int32_t sendMessage(const Kavrel::GenericParameters&, Kavrel::GenericParameters&) override { return 0; }
};

class FakeProtocol : public Kavrel::FieldbusProtocol {
    template <class F> auto locked(F f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }

public:
    static constexpr std::uint32_t errorSilent = 0x8004060Au;
    struct Write {
        std::uint32_t id, size;
        std::uint16_t index, sub;
        std::uint32_t value;
    };

    explicit FakeProtocol(Constants constants) : FieldbusProtocol("ModbusTCP", std::move(constants)) {}

    void addDrive(std::uint32_t id) { locked([&] { drives.insert(id); }); }
    void silence(std::uint32_t id, bool silent = true)
    {
        locked([&] { silent ? (void)silent_.insert(id) : (void)silent_.erase(id); });
    }
    void setValue(std::uint32_t id, std::uint16_t index, std::uint16_t sub, std::uint32_t v)
    {
        locked([&] { values[{id, index, sub}] = v; });
    }
    int readsOf(std::uint32_t id) { return locked([&] { return reads[id]; }); }
    std::vector<Write> writes() { return locked([&] { return writeLog; }); }
    std::vector<Write> readsAsked() { return locked([&] { return readLog; }); }

    std::int32_t readIdentification(std::uint32_t id, std::string& vendor, std::string& product, std::string& version,
                                    std::string& motor, std::string& serial) override
    {
        std::this_thread::sleep_for(identifyDelay);
        if (!answers(id))
            return 0;
        vendor = vendorName, product = productCode, version = "1.04", motor = "00000007", serial = "00012345";
        return 1;
    }
    std::int32_t readParameter(std::uint32_t id, std::uint32_t size, std::uint16_t index, std::uint16_t sub,
                               std::uint32_t& out) override
    {
        locked([&] { ++reads[id], readLog.push_back({id, size, index, sub, 0}); });
        if (!answers(id))
            return 0;
        out = locked([&] { return values[{id, index, sub}]; });
        return 1;
    }
    std::int32_t writeParameter(std::uint32_t id, std::uint32_t size, std::uint16_t index, std::uint16_t sub,
                                std::uint32_t v) override
    {
        locked([&] { writeLog.push_back({id, size, index, sub, v}); });
        if (!answers(id) || refuseWrites)
            return 0;
        setValue(id, index, sub, v);
        return 1;
    }
    // Packets 1..uploadPackets, the last marked; uploadPackets 0 = never ends.
    std::int32_t initUpload(std::uint32_t id) override { return ++initUploads, answers(id) && initUploadResult == 1; }
    std::int32_t getUpload(std::uint32_t id, std::uint32_t session, std::uint32_t packet, std::string& data,
                           std::uint32_t& finished) override
    {
        ++getUploads;
        lastSession = session;
        std::this_thread::sleep_for(packetDelay);
        if (!answers(id))
            return static_cast<std::int32_t>(errorSilent);
        if (failAtPacket != 0 && packet == failAtPacket)
            return static_cast<std::int32_t>(failCode.load());
        data = "P" + std::to_string(packet);
        finished = uploadPackets != 0 && packet >= uploadPackets ? 1 : 0;
        return 0;
    }
    std::int32_t finishUpload(std::uint32_t, std::uint32_t) override { return 1; }
    std::uint32_t getMaxBlockSize() override { return 4; }
    std::int32_t openInterface(std::uint32_t) override { return 1; }
    std::int32_t closeInterface() override { return ++closes, 0; }

    bool answers(std::uint32_t id)
    {
        return locked([&] {
            const bool ok = drives.count(id) != 0 && silent_.count(id) == 0;
            ok ? setLastError(0, "") : setLastError(errorSilent, "no answer");
            return ok;
        });
    }

    std::string vendorName = "Vorlane", productCode = "VDX 2040 A";
    std::atomic<bool> refuseWrites{false};
    std::atomic<int> closes{0}, initUploads{0}, getUploads{0};
    std::atomic<std::int32_t> initUploadResult{1};
    std::atomic<std::uint32_t> lastSession{0}, uploadPackets{1}, failAtPacket{0}, failCode{0x80040603u};
    std::chrono::milliseconds packetDelay{0}, identifyDelay{0};

private:
    std::mutex mutex;
    std::set<std::uint32_t> drives, silent_;
    std::map<std::tuple<std::uint32_t, std::uint16_t, std::uint16_t>, std::uint32_t> values;
    std::map<std::uint32_t, int> reads;
    std::vector<Write> writeLog, readLog;
};

// An interface on the fake bus; settings keys as the ModbusTCP branch.
class FakeInterface : public Kavrel::FieldbusInterface {
public:
    explicit FakeInterface(bool withHardware = true, bool networkScan = false,
                           Kavrel::FieldbusProtocol::Constants constants =
                               Kavrel::FieldbusProtocol::constantsFor("ModbusTCP"),
                           std::vector<std::uint32_t> hardwareIds = {7})
        : FieldbusInterface("ModbusTCP", networkScan)
    {
        protocol = fake = std::make_shared<FakeProtocol>(std::move(constants));
        for (auto id : withHardware ? hardwareIds : std::vector<std::uint32_t>{})
            addHardwareInterfaces({std::make_shared<FakeHardware>(id, "fake" + std::to_string(id))});
        makeParameterDialog();
        readSettings();
    }
    ~FakeInterface() override { stopWorkers(); }
    std::shared_ptr<FakeProtocol> fake;

protected:
    void handOverParameters() override {}
};

// What workers posted to a twin, as the host's thread received it.
class Notices : public commonbase::MessageWindow {
public:
    struct Notice {
        std::uint32_t message;
        std::int32_t first, second;
        std::thread::id thread;
        std::chrono::steady_clock::time_point at;
    };
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override
    {
        notices.push_back({message, first, second, std::this_thread::get_id(), std::chrono::steady_clock::now()});
    }
    std::size_t count(std::uint32_t message) const { return of(message).size(); }
    // (first, second) of each notice of that kind, in arrival order.
    std::vector<std::pair<std::int32_t, std::int32_t>> of(std::uint32_t message) const
    {
        std::vector<std::pair<std::int32_t, std::int32_t>> out;
        for (const auto& notice : notices)
            if (notice.message == message)
                out.emplace_back(notice.first, notice.second);
        return out;
    }
    bool await(std::uint32_t message, std::chrono::milliseconds timeout, std::size_t n = 1)
    {
        return commonbase::HostEventLoop::runUntil([&] { return count(message) >= n; }, timeout);
    }
    std::vector<Notice> notices;
};
using Steps = std::vector<std::pair<std::int32_t, std::int32_t>>;

// Points the last-settings document at a file in a fresh folder.
class SettingsFile {
public:
    SettingsFile()
    {
        Kavrel::CommunicationManager::getInstance().setLastSettingsPath(dir.str());
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(path());
    }
    // Away from the folder before it goes.
    ~SettingsFile() { Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(spare.str() + "x.xml"); }
    std::string path() const { return dir.str() + "xml/LastSettings.xml"; }
    std::string schema() const { return dir.str() + "xml/LastSettings.xsd"; }
    std::string text() const { return readFile(path()); }
    // Replaces the file and has the manager read it again.
    void put(const std::string& content) const
    {
        dir.write("xml/LastSettings.xml", content);
        Kavrel::CommunicationManager::getInstance().setLastSettingsFileName(path());
    }

private:
    TempDir spare, dir;
};

inline std::string settingsXml(const std::string& branch, const std::string& keys)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ComParameter>\n  <" + branch + ">" + keys + "</" + branch +
           ">\n</ComParameter>\n";
}

} // namespace kavreltest
